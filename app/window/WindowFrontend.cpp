#include "app/window/WindowFrontend.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QMessageBox>
#include <cstdio>

#include "app/ConsoleOptions.h"
#include "app/ControllerThread.h"
#include "app/window/ExitChoiceDialog.h"
#include "app/window/MainWindow.h"
#include "app/window/SettingsDialog.h"
#include "app/window/ShutdownDialog.h"
#include "app/window/TrayIcon.h"

namespace kf::app::window {
namespace {

constexpr int kPollMs = 100;

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

// The window's messages and state changes go to standard error as well, as in the console:
// whoever started it from a terminal (or a test) sees what the user saw.
void Note(const std::string& text) {
    std::fprintf(stderr, "kestrelfetch: %s\n", text.c_str());
    std::fflush(stderr);
}

}  // namespace

WindowFrontend::WindowFrontend(const std::atomic<bool>& interrupted)
    : interrupted_(interrupted),
      window_(std::make_unique<MainWindow>(
          [this](ControllerAction action) { Post(std::move(action)); })),
      tray_(std::make_unique<TrayIcon>(nullptr)) {
    window_->installEventFilter(this);
    connect(window_.get(), &MainWindow::settingsRequested, this, &WindowFrontend::OpenSettings);
    connect(window_.get(), &MainWindow::folderRequested, this, &WindowFrontend::OpenFolder);
    connect(tray_.get(), &TrayIcon::restoreRequested, this,
            [this] { Post(action::RestoreFromTray{}); });
    connect(tray_.get(), &TrayIcon::exitRequested, this, [this] { Post(action::ExitFromTray{}); });
    poll_.setInterval(kPollMs);
    connect(&poll_, &QTimer::timeout, this, &WindowFrontend::Poll);
}

WindowFrontend::~WindowFrontend() = default;

void WindowFrontend::Show(const std::string& text, const std::string& caption) {
    Note((caption == kTitle ? std::string() : caption + ": ") + text);
    QMetaObject::invokeMethod(
        this,
        [this, text, caption] {
            auto* box = new QMessageBox(QMessageBox::Information, Text(caption), Text(text),
                                        QMessageBox::Ok, window_.get());
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->open();
        },
        Qt::QueuedConnection);
}

void WindowFrontend::ShowWindow() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (shown_ && shown_->in_tray) {
                Post(action::RestoreFromTray{});
            }
            window_->showNormal();
            window_->raise();
            window_->activateWindow();
        },
        Qt::QueuedConnection);
}

int WindowFrontend::Run(ControllerThread& thread) {
    thread_ = &thread;
    poll_.start();
    const int code = QApplication::exec();
    poll_.stop();
    thread.Join();
    thread_ = nullptr;
    return code;
}

void WindowFrontend::Post(ControllerAction action) {
    if (thread_ != nullptr && !exit_posted_) {
        thread_->Post(std::move(action));
    }
}

void WindowFrontend::Poll() {
    if (interrupted_.load() && !interrupted_seen_) {
        interrupted_seen_ = true;
        Note("interrupted: the download's state is saved; the next start goes on from there");
        Post(action::Exit{true});
        exit_posted_ = true;
    }
    const std::shared_ptr<const ControllerSnapshot> snapshot = thread_->Latest();
    if (!snapshot || snapshot->sequence == 0 ||
        (shown_ && snapshot->sequence == shown_->sequence)) {
        return;
    }
    Present(*snapshot);
    shown_ = snapshot;
    if (snapshot->ended) {
        window_->hide();
        tray_->Hide();
        int code = snapshot->installer_launched || snapshot->user_exit ? ConsoleOptions::kDone
                                                                       : ConsoleOptions::kFailed;
        if (interrupted_seen_) {
            code = ConsoleOptions::kInterrupted;
        }
        QApplication::exit(code);
    }
}

void WindowFrontend::Present(const ControllerSnapshot& snapshot) {
    if (!shown_ || shown_->state_name != snapshot.state_name) {
        Note("state: " + snapshot.state_name);
    }
    window_->Apply(snapshot);
    if (!first_shown_ && !snapshot.ended && !snapshot.exit_requested) {
        first_shown_ = true;
        window_->show();
    }
    if (!shown_ || shown_->in_tray != snapshot.in_tray) {
        ShowTray(snapshot.in_tray);
    }
    if (snapshot.question == Question::kVerify) {
        AskVerify(snapshot);
    } else if (verify_box_) {
        verify_box_->close();
    }
    if (snapshot.question == Question::kCloseChoice) {
        AskCloseChoice();
    } else if (exit_dialog_) {
        exit_dialog_->close();
    }
    ShowShutdown(snapshot.shutdown_seconds);
}

void WindowFrontend::AskVerify(const ControllerSnapshot& snapshot) {
    if (verify_box_) {
        return;
    }
    verify_box_ = new QMessageBox(QMessageBox::Question, Text(kTitle), Text(snapshot.question_text),
                                  QMessageBox::Yes | QMessageBox::No, window_.get());
    verify_box_->setAttribute(Qt::WA_DeleteOnClose);
    verify_box_->setDefaultButton(QMessageBox::Yes);
    connect(verify_box_, &QMessageBox::finished, this, [this](int result) {
        // Closing the box without an answer counts as no, as the design's box has no close.
        Post(action::VerifyAnswer{result == QMessageBox::Yes, true});
    });
    verify_box_->open();
}

void WindowFrontend::AskCloseChoice() {
    if (exit_dialog_) {
        return;
    }
    exit_dialog_ = new ExitChoiceDialog(window_.get());
    exit_dialog_->setAttribute(Qt::WA_DeleteOnClose);
    connect(exit_dialog_, &QDialog::finished, this, [this](int result) {
        const bool chosen = result == QDialog::Accepted;
        Post(action::CloseChoice{chosen ? exit_dialog_->Choice() : 0,
                                 chosen && exit_dialog_->Remember()});
    });
    exit_dialog_->open();
}

void WindowFrontend::ShowShutdown(int32_t seconds) {
    if (seconds < 0) {
        if (shutdown_dialog_) {
            shutdown_dialog_->close();
        }
        return;
    }
    if (!shutdown_dialog_) {
        shutdown_dialog_ = new ShutdownDialog(window_.get());
        shutdown_dialog_->setAttribute(Qt::WA_DeleteOnClose);
        connect(shutdown_dialog_, &ShutdownDialog::cancelRequested, this,
                [this] { Post(action::CancelShutdown{}); });
        shutdown_dialog_->show();
    }
    shutdown_dialog_->SetSecondsLeft(seconds);
}

void WindowFrontend::ShowTray(bool in_tray) {
    if (!in_tray) {
        tray_->Hide();
        if (first_shown_) {
            window_->showNormal();
            window_->raise();
            window_->activateWindow();
        }
        return;
    }
    // Without a tray the window could not be found again: it is minimised instead.
    if (TrayIcon::Available()) {
        tray_->Show();
        window_->hide();
    } else {
        window_->showMinimized();
    }
}

void WindowFrontend::OpenSettings() {
    if (settings_dialog_ || !shown_) {
        return;
    }
    settings_dialog_ = new SettingsDialog(shown_->speed_limit, shown_->auto_shutdown,
                                          shown_->p2p_enabled, window_.get());
    settings_dialog_->setAttribute(Qt::WA_DeleteOnClose);
    connect(settings_dialog_, &QDialog::accepted, this, [this] {
        Post(action::SpeedLimit{settings_dialog_->SpeedLimit()});
        Post(action::AutoShutdown{settings_dialog_->AutoShutdown()});
        Post(action::P2P{settings_dialog_->P2P()});
    });
    settings_dialog_->open();
}

void WindowFrontend::OpenFolder() {
    if (!shown_) {
        return;
    }
    if (shown_->state != DownloadState::kBack && shown_->state != DownloadState::kReady) {
        Post(action::ShowSaveFolder{});
        return;
    }
    // The save folder is <chosen>/GD4251: the browser starts at the chosen folder.
    const QString current = Text(shown_->save_folder);
    const int cut = current.lastIndexOf('/');
    auto* browser = new QFileDialog(window_.get(),
                                    "请选择安装包存放目录:", cut > 0 ? current.left(cut) : current);
    browser->setAttribute(Qt::WA_DeleteOnClose);
    browser->setFileMode(QFileDialog::Directory);
    browser->setOption(QFileDialog::ShowDirsOnly);
    connect(browser, &QFileDialog::fileSelected, this, [this](const QString& folder) {
        Post(action::ChangeSaveFolder{folder.toStdString()});
    });
    browser->open();
}

bool WindowFrontend::eventFilter(QObject* watched, QEvent* event) {
    // Closing the window through the window manager is the close button: the controller decides
    // (tray, exit, or the question).
    if (watched == window_.get() && event->type() == QEvent::Close && thread_ != nullptr &&
        !(shown_ && shown_->ended)) {
        event->ignore();
        Post(action::CloseWindow{});
        return true;
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace kf::app::window
