#pragma once

#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QRect>
#include <QRegion>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/ButtonPanel.h"
#include "app/ControllerAction.h"
#include "app/ControllerSnapshot.h"
#include "app/window/FileList.h"
#include "app/window/SkinButton.h"

namespace kf::app::window {

// The downloader's main window: frameless, skinned, 411x307 (411x385 with the file list open). It
// shows the controller's snapshots and turns the user's clicks into controller actions; it never
// blocks and never calls the engine.
//
// Threads: the GUI thread only. `post` is called on it and must not block (it queues the action
// for the controller thread).
// Behaviour: start, pause, continue and install post MainAction; "X" posts CloseWindow; "o" and the
// folder buttons only raise signals, the owner opens the dialogs. A close asked by the window
// manager is the owner's to intercept.
// Mouse: a left press on the caption strip moves the window; a left release in the toggle area of
// Layout.h opens or closes the file list.
class MainWindow : public QWidget {
    Q_OBJECT

  public:
    using Post = std::function<void(ControllerAction)>;

    // One drawn text: where, in which colour and size.
    struct Text {
        QRect rect;
        QColor colour;
        int pixel_size = 0;
        bool bold = false;
        QString text;
    };

    explicit MainWindow(Post post, QWidget* parent = nullptr);

    // Shows `snapshot`: buttons when the controller's button panel changed, list texts, and a
    // repaint only when a drawn item changed.
    void Apply(const ControllerSnapshot& snapshot);

    bool ListOpen() const { return list_open_; }
    void SetListOpen(bool open);

    // The texts paintEvent draws for the last snapshot, in drawing order; empty ones are left out.
    std::vector<Text> Texts() const;

  signals:
    void settingsRequested();
    void folderRequested();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    // What the window paints itself (the buttons and the list paint themselves).
    struct Drawn {
        std::string result_line;
        std::string speed_line;
        std::string progress_label;
        std::string percentage;
        std::string game_version;
        std::string size_line;
        std::string folder_line;
        int32_t overall_progress = 0;
        int32_t verify_progress = 0;
        bool verify_bar = false;
        bool operator==(const Drawn&) const = default;
    };

    void ApplyButtons(const ButtonPanel& panel);
    void OnMainButton(bool is_start);

    Post post_;
    const QImage background_closed_;
    const QImage background_open_;
    const QRegion shape_closed_;
    const QRegion shape_open_;
    const QPixmap empty_bar_;
    const QPixmap full_bar_;
    const QPixmap verify_bar_;
    const QPixmap toggle_closed_;
    const QPixmap toggle_open_;

    SkinButton start_;
    SkinButton pause_;
    SkinButton resume_;
    SkinButton install_;
    SkinButton change_;
    SkinButton view_;
    SkinButton settings_;
    SkinButton minimise_;
    SkinButton close_;
    FileList list_;

    bool list_open_ = false;
    bool low_space_ = false;
    Drawn drawn_;
    std::optional<ButtonPanel> buttons_;  // the panel last applied; none before the first
};

}  // namespace kf::app::window
