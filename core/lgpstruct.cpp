// Placeholder: the archive core lands here.
#include "lgpstruct.h"

TProgressHook ProgressHook;
TMessageHook MessageHook;

ScopedProgressHook::ScopedProgressHook(TProgressHook hook)
    : mPrevious(std::move(ProgressHook))
{
    ProgressHook = std::move(hook);
}

ScopedProgressHook::~ScopedProgressHook() { ProgressHook = std::move(mPrevious); }

void ReportProgress(std::int32_t position, std::int32_t maximum)
{
    if (ProgressHook)
        ProgressHook(position, maximum);
}
