#pragma once

#include <QTreeWidget>
#include <array>

#include "app/ControllerSnapshot.h"

namespace kf::app::window {

// The list of the three files: "Name" (280 px) and "Percent" (128 px), white, whole rows selected,
// one row per file. It shows the controller's texts as they are, trailing spaces included.
//
// Threads: the GUI thread. Owner: the main window.
class FileList : public QTreeWidget {
    Q_OBJECT

  public:
    explicit FileList(QWidget* parent);

    // Changes only the cells whose text differs, so an unchanged second repaints nothing.
    void SetRows(const std::array<ControllerSnapshot::Row, 3>& rows);
};

}  // namespace kf::app::window
