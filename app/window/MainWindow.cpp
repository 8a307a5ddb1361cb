#include "app/window/MainWindow.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWindow>
#include <algorithm>
#include <utility>

#include "app/UserMessages.h"
#include "app/window/Layout.h"
#include "app/window/Skin.h"

namespace kf::app::window {
namespace {

// The part of `bar` that `progress` (hundredths of a percent) fills. Out-of-range values are
// clamped so that a bad figure can never paint beyond the bar.
int FilledWidth(const QRect& bar, int32_t progress) {
    return static_cast<int>(static_cast<int64_t>(bar.width()) * std::clamp(progress, 0, 10000) /
                            10000);
}

void DrawFilled(QPainter& painter, const QRect& bar, const QPixmap& full, int32_t progress) {
    const int width = FilledWidth(bar, progress);
    if (width > 0) {
        painter.drawPixmap(QRect(bar.topLeft(), QSize(width, bar.height())), full,
                           QRect(0, 0, width, bar.height()));
    }
}

void Place(SkinButton& button, const char* name, const QRect& where) {
    button.setObjectName(QString::fromLatin1(name));
    button.setGeometry(where);
}

}  // namespace

MainWindow::MainWindow(Post post, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint),
      post_(std::move(post)),
      background_closed_(Skin::Background(false)),
      background_open_(Skin::Background(true)),
      shape_closed_(Skin::Shape(background_closed_)),
      shape_open_(Skin::Shape(background_open_)),
      empty_bar_(Skin::EmptyBar()),
      full_bar_(Skin::FullBar()),
      verify_bar_(Skin::VerifyBar()),
      toggle_closed_(Skin::ListToggle(false)),
      toggle_open_(Skin::ListToggle(true)),
      start_(QStringLiteral("开始"), Skin::ButtonKind::kBody, this),
      pause_(QStringLiteral("暂停"), Skin::ButtonKind::kBody, this),
      resume_(QStringLiteral("继续"), Skin::ButtonKind::kBody, this),
      install_(QStringLiteral("安装"), Skin::ButtonKind::kBody, this),
      change_(QStringLiteral("修改"), Skin::ButtonKind::kBody, this),
      view_(QStringLiteral("查看"), Skin::ButtonKind::kBody, this),
      settings_(QStringLiteral("o"), Skin::ButtonKind::kCaption, this),
      minimise_(QStringLiteral("-"), Skin::ButtonKind::kCaption, this),
      close_(QStringLiteral("X"), Skin::ButtonKind::kCaption, this),
      list_(this) {
    setWindowTitle(QString::fromUtf8(UserMessages::kTitle));
    setWindowIcon(Skin::ProgramIcon());
    setFont(Skin::Font(12));
    setFixedSize(layout::kWidth, layout::kHeight);
    setMask(shape_closed_);

    Place(start_, "start", layout::kMainButton);
    Place(pause_, "pause", layout::kMainButton);
    Place(resume_, "continue", layout::kMainButton);
    Place(install_, "install", layout::kMainButton);
    Place(change_, "change", layout::kChangeButton);
    Place(view_, "view", layout::kViewButton);
    Place(settings_, "settings", layout::kSettingsButton);
    Place(minimise_, "minimise", layout::kMinimiseButton);
    Place(close_, "close", layout::kCloseButton);
    change_.setFont(Skin::Font(12, true));
    view_.setFont(Skin::Font(12, true));
    start_.setFont(Skin::Font(17, true));
    pause_.setFont(Skin::Font(17, true));
    resume_.setFont(Skin::Font(17, true));
    install_.setFont(Skin::Font(17, true));
    list_.setGeometry(layout::kFileList);
    list_.hide();
    // Nothing to press until the controller's first snapshot says what.
    ApplyButtons(ButtonPanel{});

    connect(&start_, &QAbstractButton::clicked, this, [this] { OnMainButton(true); });
    for (SkinButton* button : {&pause_, &resume_, &install_}) {
        connect(button, &QAbstractButton::clicked, this, [this] { OnMainButton(false); });
    }
    connect(&change_, &QAbstractButton::clicked, this, &MainWindow::folderRequested);
    connect(&view_, &QAbstractButton::clicked, this, &MainWindow::folderRequested);
    connect(&settings_, &QAbstractButton::clicked, this, &MainWindow::settingsRequested);
    connect(&minimise_, &QAbstractButton::clicked, this, &QWidget::showMinimized);
    connect(&close_, &QAbstractButton::clicked, this, [this] { post_(action::CloseWindow{}); });
}

void MainWindow::Apply(const ControllerSnapshot& snapshot) {
    low_space_ = snapshot.low_space;
    // Only a change of the panel touches the buttons, so that a snapshot taken before the
    // controller saw a click does not undo what the click showed at once.
    if (!buttons_ || *buttons_ != snapshot.buttons) {
        ApplyButtons(snapshot.buttons);
        buttons_ = snapshot.buttons;
    }
    list_.SetRows(snapshot.rows);

    Drawn drawn{snapshot.result_line, snapshot.speed_line,       snapshot.progress_label,
                snapshot.percentage,  snapshot.game_version,     snapshot.size_line,
                snapshot.folder_line, snapshot.overall_progress, snapshot.verify_progress,
                snapshot.verify_bar};
    if (drawn != drawn_) {
        drawn_ = std::move(drawn);
        update();
    }
}

void MainWindow::ApplyButtons(const ButtonPanel& panel) {
    const auto apply = [](SkinButton& button, const ButtonPanel::Button& state) {
        button.setVisible(state.shown);
        button.setEnabled(state.enabled);
    };
    apply(start_, panel.start);
    apply(pause_, panel.pause);
    apply(resume_, panel.resume);
    apply(install_, panel.install);
    apply(change_, panel.change);
    apply(view_, panel.view);
}

void MainWindow::OnMainButton(bool is_start) {
    post_(action::MainAction{});
    if (is_start && !low_space_) {
        pause_.show();
        start_.hide();
    }
}

void MainWindow::SetListOpen(bool open) {
    if (open == list_open_) {
        return;
    }
    list_open_ = open;
    setFixedSize(layout::kWidth, layout::kHeight + (open ? layout::kListGrowth : 0));
    setMask(open ? shape_open_ : shape_closed_);
    list_.setVisible(open);
    update();
}

std::vector<MainWindow::Text> MainWindow::Texts() const {
    std::vector<Text> texts;
    const auto add = [&](const QRect& rect, const QColor& colour, int size, bool bold,
                         const std::string& text) {
        if (!text.empty()) {
            texts.push_back({rect, colour, size, bold, QString::fromStdString(text)});
        }
    };
    if (!drawn_.result_line.empty()) {
        add(layout::kStatusLine, Skin::kStateText, 16, true, drawn_.result_line);
    } else {
        add(layout::kStatusLine, Skin::kLabelText, 14, false, drawn_.speed_line);
        add(layout::kProgressLabel, Skin::kLabelText, 13, false, drawn_.progress_label);
        add(layout::kPercentage, Skin::kStateText, 24, true, drawn_.percentage);
    }
    add(layout::kSizeLine, Skin::kLabelText, 13, false, drawn_.size_line);
    add(layout::kGameVersion, Skin::kVersionText, 13, false, drawn_.game_version);
    add(layout::kFolderLine, Skin::kFolderText, 12, false, drawn_.folder_line);
    return texts;
}

void MainWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawImage(0, 0, list_open_ ? background_open_ : background_closed_);

    // In the verification states the download bar is shown full or not at all, with the
    // verification bar beneath it.
    if (!drawn_.verify_bar) {
        painter.drawPixmap(layout::kProgressBar.topLeft(), empty_bar_);
    }
    DrawFilled(painter, layout::kProgressBar, full_bar_, drawn_.overall_progress);
    if (drawn_.verify_bar) {
        DrawFilled(painter, layout::kVerifyBar, verify_bar_, drawn_.verify_progress);
    }
    painter.drawPixmap(layout::kListToggle.topLeft(), list_open_ ? toggle_open_ : toggle_closed_);

    for (const Text& text : Texts()) {
        painter.setPen(text.colour);
        painter.setFont(Skin::Font(text.pixel_size, text.bold));
        // A long save folder is shortened in the middle, where it says least.
        const QString shown =
            painter.fontMetrics().elidedText(text.text, Qt::ElideMiddle, text.rect.width());
        painter.drawText(text.rect, Qt::AlignLeft | Qt::AlignVCenter, shown);
    }
}

void MainWindow::mousePressEvent(QMouseEvent* event) {
    // The buttons on the caption take their own presses, so this is the strip itself.
    if (event->button() == Qt::LeftButton &&
        layout::kCaption.contains(event->position().toPoint()) && windowHandle() != nullptr) {
        windowHandle()->startSystemMove();
        return;
    }
    QWidget::mousePressEvent(event);
}

void MainWindow::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    if (event->button() == Qt::LeftButton && at.x() > layout::kToggleLeft &&
        at.x() <= layout::kToggleRight && at.y() > layout::kToggleTop &&
        at.y() <= layout::kToggleBottom) {
        SetListOpen(!list_open_);
        return;
    }
    QWidget::mouseReleaseEvent(event);
}

}  // namespace kf::app::window
