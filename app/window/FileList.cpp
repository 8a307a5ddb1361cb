#include "app/window/FileList.h"

#include <QHeaderView>
#include <QPalette>
#include <QString>
#include <QStringList>
#include <QTreeWidgetItem>

#include "app/window/Layout.h"
#include "app/window/Skin.h"

namespace kf::app::window {
namespace {

void SetIfChanged(QTreeWidgetItem& item, int column, const std::string& text) {
    const QString wanted = QString::fromStdString(text);
    if (item.text(column) != wanted) {
        item.setText(column, wanted);
    }
}

}  // namespace

FileList::FileList(QWidget* parent) : QTreeWidget(parent) {
    setFont(Skin::Font(12));
    setColumnCount(2);
    setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Percent")});
    setColumnWidth(0, layout::kNameColumn);
    setColumnWidth(1, layout::kPercentColumn);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    // The two columns fill the list's width exactly; a frame or a horizontal bar would cost the
    // third row its place.
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setItemsExpandable(false);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setFocusPolicy(Qt::NoFocus);
    QPalette colours = palette();
    colours.setColor(QPalette::Base, Qt::white);
    colours.setColor(QPalette::Text, Qt::black);
    setPalette(colours);
    // Owned by the tree; the rows exist from the start so that SetRows only edits texts.
    for (size_t row = 0; row < std::tuple_size_v<std::array<ControllerSnapshot::Row, 3>>; ++row) {
        addTopLevelItem(new QTreeWidgetItem);
    }
}

void FileList::SetRows(const std::array<ControllerSnapshot::Row, 3>& rows) {
    for (size_t row = 0; row < rows.size(); ++row) {
        QTreeWidgetItem& item = *topLevelItem(static_cast<int>(row));
        SetIfChanged(item, 0, rows[row].name);
        SetIfChanged(item, 1, rows[row].percent);
    }
}

}  // namespace kf::app::window
