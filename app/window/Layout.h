#pragma once

#include <QColor>
#include <QRect>

namespace kf::app::window {

// The main window's geometry in window pixels. The sizes, the caption strip, the list toggle and
// the key colour are the downloader's fixed ones; the rest is this skin's layout, documented in
// app/README.md so that tests and users can aim at it.
namespace layout {

inline constexpr int kWidth = 411;
inline constexpr int kHeight = 307;              // the file list closed
inline constexpr int kListGrowth = 78;           // added while the file list is open
inline constexpr QRect kCaption{0, 0, 411, 38};  // press and drag here to move the window
// A release with 186 < x <= 217 and 278 < y <= 307 opens or closes the file list.
inline constexpr int kToggleLeft = 186, kToggleRight = 217, kToggleTop = 278, kToggleBottom = 307;
// Every pixel of this colour in the background is cut out of the window's shape.
inline constexpr QColor kKeyColour{232, 5, 246};

// Caption buttons.
inline constexpr QRect kSettingsButton{325, 8, 24, 22};  // "o"
inline constexpr QRect kMinimiseButton{351, 8, 24, 22};  // "-"
inline constexpr QRect kCloseButton{377, 8, 24, 22};     // "X"

// Start, pause, continue and install share one place.
inline constexpr QRect kMainButton{286, 196, 104, 40};
inline constexpr QRect kChangeButton{296, 248, 44, 22};  // "修改"
inline constexpr QRect kViewButton{346, 248, 44, 22};    // "查看"

// Texts and bars.
inline constexpr QRect kTitle{14, 10, 300, 20};
inline constexpr QRect kStatusLine{22, 52, 250, 22};  // result line or speed line
inline constexpr QRect kProgressLabel{22, 84, 80, 20};
inline constexpr QRect kPercentage{102, 78, 170, 30};
inline constexpr QRect kProgressBar{22, 120, 368, 14};
inline constexpr QRect kVerifyBar{22, 138, 368, 6};
inline constexpr QRect kSizeLine{22, 156, 250, 20};
inline constexpr QRect kGameVersion{22, 182, 250, 20};
inline constexpr QRect kFolderLine{22, 250, 268, 20};
inline constexpr QRect kListToggle{187, 279, 30, 28};  // drawn where the release is taken
// The file list, shown below the window's closed height while open.
inline constexpr QRect kFileList{1, 308, 409, 74};
inline constexpr int kNameColumn = 280;
inline constexpr int kPercentColumn = 128;

}  // namespace layout
}  // namespace kf::app::window
