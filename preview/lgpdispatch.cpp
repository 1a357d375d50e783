// Placeholder until the previewers land.
#include "lgpdispatch.h"

#include "core/errors.h"

struct TPreviewDispatcher::Impl
{
};

TPreviewDispatcher::TPreviewDispatcher(QWidget* mainWindow)
    : QObject(reinterpret_cast<QObject*>(mainWindow))
    , mImpl(std::make_unique<Impl>())
{
}

TPreviewDispatcher::~TPreviewDispatcher() = default;

void TPreviewDispatcher::Preview(const TLGPFile&, std::int32_t, const QString&)
{
    lgp::Fail("Previews are not available in this build.");
}

void TPreviewDispatcher::Shutdown() {}

QString TPreviewDispatcher::PreviewTempFile() const { return {}; }
