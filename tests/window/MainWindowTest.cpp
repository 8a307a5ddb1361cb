// The main window on the offscreen platform: geometry, shape, buttons per snapshot, clicks into
// actions, and that what it draws is the snapshot's text.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QImage>
#include <QTest>
#include <string>
#include <vector>

#include "app/ButtonPanel.h"
#include "app/window/FileList.h"
#include "app/window/Layout.h"
#include "app/window/MainWindow.h"
#include "app/window/Skin.h"

namespace kf::app::window {
namespace {

class MainWindowTest : public testing::Test {
  protected:
    MainWindowTest() : window([this](ControllerAction action) { posted.push_back(action); }) {
        window.show();
    }

    QAbstractButton* Button(const char* name) {
        auto* button = window.findChild<QAbstractButton*>(QString::fromLatin1(name));
        EXPECT_NE(button, nullptr) << name;
        return button;
    }

    void Release(int x, int y) {
        QTest::mouseRelease(&window, Qt::LeftButton, Qt::NoModifier, QPoint(x, y));
    }

    std::vector<ControllerAction> posted;
    MainWindow window;
};

TEST_F(MainWindowTest, ReleaseInTheToggleAreaOpensAndClosesTheList) {
    struct Case {
        int x, y;
        bool toggles;
    };
    // Both lower bounds are exclusive, both upper bounds inclusive.
    const Case cases[] = {{187, 279, true},  {217, 307, true},  {200, 290, true},
                          {186, 290, false}, {200, 278, false}, {218, 290, false},
                          {200, 308, false}, {20, 20, false}};
    for (const Case& c : cases) {
        ASSERT_FALSE(window.ListOpen());
        Release(c.x, c.y);
        EXPECT_EQ(window.ListOpen(), c.toggles) << c.x << "," << c.y;
        EXPECT_EQ(window.size(), QSize(411, c.toggles ? 385 : 307)) << c.x << "," << c.y;
        if (c.toggles) {
            Release(200, 290);  // the toggle stays where it was with the list open
            EXPECT_EQ(window.size(), QSize(411, 307));
        }
    }
}

TEST_F(MainWindowTest, ShapeCutsTheCornersAndFollowsTheList) {
    for (const bool open : {false, true}) {
        window.SetListOpen(open);
        const int bottom = open ? 384 : 306;
        const QRegion mask = window.mask();
        EXPECT_EQ(mask.boundingRect(), QRect(0, 0, 411, bottom + 1));
        for (const QPoint corner :
             {QPoint(0, 0), QPoint(410, 0), QPoint(0, bottom), QPoint(410, bottom)}) {
            EXPECT_FALSE(mask.contains(corner)) << open << corner.x() << "," << corner.y();
        }
        EXPECT_TRUE(mask.contains(QPoint(205, bottom / 2)));
        EXPECT_EQ(window.findChild<FileList*>()->isVisible(), open);
    }
}

TEST(SkinTest, ShapeIsTheBackgroundWithoutEveryKeyPixel) {
    for (const bool open : {false, true}) {
        const QImage background = Skin::Background(open);
        ASSERT_EQ(background.size(), QSize(411, open ? 385 : 307));
        const QRegion shape = Skin::Shape(background);
        int key_pixels = 0;
        for (int y = 0; y < background.height(); ++y) {
            for (int x = 0; x < background.width(); ++x) {
                const bool key =
                    (background.pixel(x, y) & RGB_MASK) == (layout::kKeyColour.rgb() & RGB_MASK);
                key_pixels += key ? 1 : 0;
                ASSERT_EQ(shape.contains(QPoint(x, y)), !key) << x << "," << y;
            }
        }
        EXPECT_GT(key_pixels, 0);  // the outline really is cut
    }
}

TEST_F(MainWindowTest, ButtonsSitWhereTheLayoutSays) {
    const struct {
        const char* name;
        QRect rect;
    } cases[] = {{"start", layout::kMainButton},        {"pause", layout::kMainButton},
                 {"continue", layout::kMainButton},     {"install", layout::kMainButton},
                 {"change", layout::kChangeButton},     {"view", layout::kViewButton},
                 {"settings", layout::kSettingsButton}, {"minimise", layout::kMinimiseButton},
                 {"close", layout::kCloseButton}};
    for (const auto& c : cases) {
        EXPECT_EQ(Button(c.name)->geometry(), c.rect) << c.name;
    }
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Vormhal下载器"));
    EXPECT_FALSE(window.windowIcon().isNull());
}

TEST_F(MainWindowTest, ButtonsFollowThePanelThroughEveryState) {
    const DownloadState states[] = {
        DownloadState::kReady,         DownloadState::kBack,         DownloadState::kPreparing,
        DownloadState::kReload,        DownloadState::kRecover,      DownloadState::kDownloading,
        DownloadState::kPause,         DownloadState::kResume,       DownloadState::kFailed,
        DownloadState::kMd5Checking,   DownloadState::kCheckRecover, DownloadState::kFinished,
        DownloadState::kCheckFinished, DownloadState::kInstalling};
    for (const bool reloaded : {false, true}) {
        for (const bool low_space : {false, true}) {
            ControllerSnapshot snapshot;
            snapshot.buttons.Initial(reloaded);
            for (const DownloadState state : states) {
                snapshot.buttons.Apply(state, low_space);
                snapshot.state = state;
                snapshot.low_space = low_space;
                window.Apply(snapshot);
                const ButtonPanel& p = snapshot.buttons;
                const std::pair<const char*, ButtonPanel::Button> expected[] = {
                    {"start", p.start},     {"pause", p.pause},   {"continue", p.resume},
                    {"install", p.install}, {"change", p.change}, {"view", p.view}};
                for (const auto& [name, want] : expected) {
                    QAbstractButton* button = Button(name);
                    EXPECT_EQ(button->isVisible(), want.shown)
                        << name << " in " << StateName(state) << " low_space " << low_space;
                    EXPECT_EQ(button->isEnabled(), want.enabled)
                        << name << " in " << StateName(state) << " low_space " << low_space;
                }
            }
        }
    }
}

TEST_F(MainWindowTest, ClicksPostActionsOrRaiseSignals) {
    int settings = 0, folder = 0;
    QObject::connect(&window, &MainWindow::settingsRequested, [&] { ++settings; });
    QObject::connect(&window, &MainWindow::folderRequested, [&] { ++folder; });
    const struct {
        const char* name;
        ButtonPanel::Button ButtonPanel::*shown;  // the one main button shown, if any
        int main_actions, close_actions, settings, folder;
    } cases[] = {{"start", &ButtonPanel::start, 1, 0, 0, 0},
                 {"pause", &ButtonPanel::pause, 1, 0, 0, 0},
                 {"continue", &ButtonPanel::resume, 1, 0, 0, 0},
                 {"install", &ButtonPanel::install, 1, 0, 0, 0},
                 {"close", nullptr, 0, 1, 0, 0},
                 {"settings", nullptr, 0, 0, 1, 0},
                 {"change", nullptr, 0, 0, 0, 1},
                 {"view", nullptr, 0, 0, 0, 1}};
    for (const auto& c : cases) {
        ControllerSnapshot snapshot;
        snapshot.buttons.change = snapshot.buttons.view = {true, true};
        if (c.shown != nullptr) {
            snapshot.buttons.*c.shown = {true, true};
        }
        window.Apply(snapshot);
        posted.clear();
        settings = folder = 0;
        QTest::mouseClick(Button(c.name), Qt::LeftButton);
        int main_actions = 0, close_actions = 0;
        for (const ControllerAction& action : posted) {
            main_actions += std::holds_alternative<action::MainAction>(action) ? 1 : 0;
            close_actions += std::holds_alternative<action::CloseWindow>(action) ? 1 : 0;
        }
        EXPECT_EQ(posted.size(), static_cast<size_t>(c.main_actions + c.close_actions)) << c.name;
        EXPECT_EQ(main_actions, c.main_actions) << c.name;
        EXPECT_EQ(close_actions, c.close_actions) << c.name;
        EXPECT_EQ(settings, c.settings) << c.name;
        EXPECT_EQ(folder, c.folder) << c.name;
    }
    QTest::mouseClick(Button("minimise"), Qt::LeftButton);
    EXPECT_TRUE(window.windowState() & Qt::WindowMinimized);
}

TEST_F(MainWindowTest, StartShowsPauseAtOnceUnlessSpaceIsLow) {
    for (const bool low_space : {false, true}) {
        ControllerSnapshot ready;
        ready.buttons.Initial(false);
        ready.low_space = low_space;
        window.Apply(ready);
        QTest::mouseClick(Button("start"), Qt::LeftButton);
        EXPECT_EQ(Button("start")->isVisible(), low_space);
        EXPECT_EQ(Button("pause")->isVisible(), !low_space);
        // A snapshot taken before the controller saw the click does not bring start back.
        window.Apply(ready);
        EXPECT_EQ(Button("start")->isVisible(), low_space);
        ControllerSnapshot other;  // reset for the next round: a different panel
        window.Apply(other);
    }
}

TEST_F(MainWindowTest, DrawsTheSnapshotTextsAsTheyAre) {
    ControllerSnapshot snapshot;
    snapshot.speed_line = "112.3 KB/s";
    snapshot.progress_label = "当前进度:";
    snapshot.percentage = "50.25%";
    snapshot.game_version = "游戏版本: v122.42.51";
    snapshot.size_line = "1.0 GB/2.0 GB";
    snapshot.folder_line = "保存位置:/home/u/GD4251";
    struct Want {
        QRect rect;
        QColor colour;
        std::string text;
    };
    const auto check = [&](const std::vector<Want>& want) {
        window.Apply(snapshot);
        const std::vector<MainWindow::Text> texts = window.Texts();
        ASSERT_EQ(texts.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(texts[i].rect, want[i].rect) << i;
            EXPECT_EQ(texts[i].colour, want[i].colour) << i;
            EXPECT_EQ(texts[i].text.toStdString(), want[i].text) << i;
        }
    };
    const QColor blue(0, 65, 173), brown(108, 42, 17), green(26, 92, 0), white(255, 255, 255);
    check({{layout::kStatusLine, brown, "112.3 KB/s"},
           {layout::kProgressLabel, brown, "当前进度:"},
           {layout::kPercentage, blue, "50.25%"},
           {layout::kSizeLine, brown, "1.0 GB/2.0 GB"},
           {layout::kGameVersion, green, "游戏版本: v122.42.51"},
           {layout::kFolderLine, white, "保存位置:/home/u/GD4251"}});
    // The result line takes the status line's place, and the progress texts go.
    snapshot.result_line = "√ 验证通过";
    snapshot.speed_line.clear();
    check({{layout::kStatusLine, blue, "√ 验证通过"},
           {layout::kSizeLine, brown, "1.0 GB/2.0 GB"},
           {layout::kGameVersion, green, "游戏版本: v122.42.51"},
           {layout::kFolderLine, white, "保存位置:/home/u/GD4251"}});

    snapshot.rows = {{{"a.pak", "√ 下载完成  "}, {"b.pak", "12.05%    "}, {"c.pak", "未开始    "}}};
    window.Apply(snapshot);
    auto* list = window.findChild<FileList*>();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->columnWidth(0), 280);
    EXPECT_EQ(list->columnWidth(1), 128);
    EXPECT_EQ(list->headerItem()->text(0), QStringLiteral("Name"));
    EXPECT_EQ(list->headerItem()->text(1), QStringLiteral("Percent"));
    ASSERT_EQ(list->topLevelItemCount(), 3);
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(list->topLevelItem(row)->text(0).toStdString(), snapshot.rows[row].name);
        EXPECT_EQ(list->topLevelItem(row)->text(1).toStdString(), snapshot.rows[row].percent);
    }
}

TEST_F(MainWindowTest, BarsFillTheirShareOfTheWidth) {
    const QImage background = Skin::Background(false);
    const QImage empty = Skin::EmptyBar().toImage();
    const QImage full = Skin::FullBar().toImage();
    const QImage verify = Skin::VerifyBar().toImage();
    const QRect bar = layout::kProgressBar;
    const QRect vbar = layout::kVerifyBar;
    const int mid = bar.height() / 2;
    const auto at = [](const QImage& image, int x, int y) { return image.pixel(x, y) & RGB_MASK; };
    struct Case {
        int32_t overall, verify;
        bool verify_bar;
        int x;            // a column inside the bars
        bool full_there;  // the full bar covers column x
    };
    const Case cases[] = {{5000, 0, false, 150, true},  {5000, 0, false, 220, false},
                          {10000, 0, false, 360, true}, {-50, 0, false, 5, false},
                          {20000, 0, false, 360, true}, {0, 10000, true, 300, false},
                          {10000, 2500, true, 80, true}};
    for (const Case& c : cases) {
        ControllerSnapshot snapshot;
        snapshot.overall_progress = c.overall;
        snapshot.verify_progress = c.verify;
        snapshot.verify_bar = c.verify_bar;
        window.Apply(snapshot);
        const QImage shown = window.grab().toImage();
        const QRgb expected = c.full_there   ? at(full, c.x, mid)
                              : c.verify_bar ? at(background, bar.x() + c.x, bar.y() + mid)
                                             : at(empty, c.x, mid);
        EXPECT_EQ(at(shown, bar.x() + c.x, bar.y() + mid), expected) << c.overall << " x " << c.x;
        // Nothing is painted beyond the bar, whatever the figure.
        EXPECT_EQ(at(shown, bar.right() + 2, bar.y() + mid),
                  at(background, bar.right() + 2, bar.y() + mid))
            << c.overall;
        if (c.verify_bar) {
            const int filled = vbar.width() * c.verify / 10000;
            const int inside = filled / 2, outside = (filled + vbar.width()) / 2;
            EXPECT_EQ(at(shown, vbar.x() + inside, vbar.y() + 3), at(verify, inside, 3));
            EXPECT_EQ(at(shown, vbar.x() + outside, vbar.y() + 3),
                      at(background, vbar.x() + outside, vbar.y() + 3));
        }
    }
}

TEST_F(MainWindowTest, RepaintsOnlyWhenADrawnItemChanged) {
    int paints = 0;
    struct Counter : QObject {
        int* count;
        explicit Counter(int* c) : count(c) {}
        bool eventFilter(QObject*, QEvent* event) override {
            *count += event->type() == QEvent::Paint ? 1 : 0;
            return false;
        }
    } counter(&paints);
    window.installEventFilter(&counter);
    // Paint requests are posted events; a bounded number of rounds delivers them.
    const auto settle = [] {
        for (int round = 0; round < 20; ++round) {
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents();
        }
    };
    ControllerSnapshot snapshot;
    snapshot.percentage = "1%";
    window.Apply(snapshot);
    settle();
    const int first = paints;
    EXPECT_GT(first, 0);

    snapshot.sequence += 1;  // a new tick with nothing new to show
    snapshot.status_ticks += 10;
    window.Apply(snapshot);
    settle();
    EXPECT_EQ(paints, first);

    snapshot.overall_progress = 100;
    window.Apply(snapshot);
    settle();
    EXPECT_GT(paints, first);
}

}  // namespace
}  // namespace kf::app::window
