#include "lgpviewas.h"

#include "platform/qtext.h"
#include "platform/ui.h"

#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>

std::function<int(TfrmViewAs&)> TfrmViewAs::ModalRunner;

TfrmViewAs::TfrmViewAs(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName("frmViewAs");
    setWindowTitle("View As...");
    setFixedSize(346, 181);
    Platform::Ui::centreOnScreenWhenShown(*this);

    lstTypes = new QTreeWidget(this);
    lstTypes->setObjectName("lstTypes");
    lstTypes->setRootIsDecorated(false);
    lstTypes->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lstTypes->setSelectionMode(QAbstractItemView::SingleSelection);
    lstTypes->setHeaderLabels({"Extension", "Description", "Type"});
    lstTypes->header()->setSectionsClickable(false);
    lstTypes->setColumnWidth(0, 60);
    lstTypes->setColumnWidth(1, 150);
    lstTypes->setColumnWidth(2, 100);
    lstTypes->setGeometry(8, 8, 330, 133);
    const char* rows[][3] = {
        {"HRC", "Skeleton hierarchy", "Formatted text"},
        {"MID", "Midi music", "Standard midi"},
        {"P", "Polygon data", "Binary"},
        {"RSD", "Resource data", "Plain text"},
        {"TEX", "Texture data", "Standard PSX"},
        {"TXT", "Text", "Plain text"},
    };
    for (const auto& row : rows)
        new QTreeWidgetItem(lstTypes, QStringList{row[0], row[1], row[2]});

    btnView = new QPushButton("&View", this);
    btnView->setObjectName("btnView");
    btnView->setGeometry(182, 148, 75, 25);
    btnView->setDefault(true);
    btnCancel = new QPushButton("Cancel", this);
    btnCancel->setObjectName("btnCancel");
    btnCancel->setGeometry(263, 148, 75, 25);

    connect(btnView, &QPushButton::clicked, this, &TfrmViewAs::btnViewClick);
    connect(lstTypes, &QTreeWidget::itemDoubleClicked, this, [this] { btnViewClick(); });
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

bool TfrmViewAs::ShowModal()
{
    setResult(QDialog::Rejected);
    const int code = ModalRunner ? ModalRunner(*this) : exec();
    return code == QDialog::Accepted;
}

void TfrmViewAs::btnViewClick()
{
    if (lstTypes->selectedItems().isEmpty())
        return;
    accept();
}

QString TfrmViewAs::SelectedExtension() const
{
    const QList<QTreeWidgetItem*> selected = lstTypes->selectedItems();
    return selected.isEmpty() ? QString() : selected.front()->text(0);
}

PreviewViewer TfrmViewAs::SelectedViewer() const
{
    const QString extension = SelectedExtension();
    return extension.isEmpty() ? PreviewViewer::None : ViewerForKind("." + Platform::Text::toUtf8(extension));
}
