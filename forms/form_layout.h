#pragma once

namespace pelvoran::layout {

/// Windows and controls are laid out in twips, 1440 to the inch: 15 twips to
/// a pixel at 96 dots per inch.
struct Twips {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

/// Twips to pixels at the given resolution, rounded to the nearest pixel.
constexpr int toPixels(int twips, int dpi = 96) {
    return (twips * dpi + 720) / 1440;
}

// Client areas (left and top unused) and controls, in tab order.
namespace main_window {
inline constexpr Twips kClient{0, 0, 5010, 2820};
inline constexpr Twips kProdSNText{1800, 600, 2775, 495};
inline constexpr Twips kLabel1{240, 720, 1455, 495};
inline constexpr Twips kCommand1{720, 2160, 1935, 375};
inline constexpr Twips kCommand2{2880, 2160, 855, 375};
inline constexpr Twips kLabel2{240, 1320, 4335, 615};
inline constexpr Twips kCommand3{3960, 2160, 855, 375};
/// The code box takes at most this many characters.
inline constexpr int kCodeMaxLength = 10;
} // namespace main_window

namespace help_window {
inline constexpr Twips kClient{0, 0, 6075, 5820};
inline constexpr Twips kLabel1{480, 240, 5295, 1935};
inline constexpr Twips kPicture1{480, 2160, 5295, 2895};
inline constexpr Twips kCommand1{2400, 5280, 1215, 375};
/// Fonts in points: the window's NSimSun, the label's and the rest's SimSun.
inline constexpr double kWindowFontPoints = 9.75;
inline constexpr double kLabelFontPoints = 10.5;
inline constexpr double kControlFontPoints = 9;
/// The resource id of the photograph.
inline constexpr int kBitmapId = 100;
} // namespace help_window

namespace comment_window {
inline constexpr Twips kClient{0, 0, 4560, 3030};
inline constexpr Twips kCommentText{360, 240, 3735, 2055};
inline constexpr Twips kCommand1{1680, 2520, 1215, 375};
} // namespace comment_window

namespace answer_window {
inline constexpr Twips kClient{0, 0, 6000, 5100};
inline constexpr Twips kLabel1{360, 240, 5280, 300};
inline constexpr Twips kCommentText{360, 540, 5280, 1500};
inline constexpr Twips kLabel2{360, 2160, 5280, 300};
inline constexpr Twips kAnswerText{360, 2460, 5280, 1860};
inline constexpr Twips kCommand1{2400, 4500, 1215, 375};
} // namespace answer_window

/// How far apart the baselines of a label's lines are, in pixels, for a font
/// of `fontPixelSize` pixels: one pixel more than the font, as SimSun sets
/// them. Labels are sized for that step; a stand-in font with a taller line
/// of its own would push their last line out of the box.
constexpr int lineStep(int fontPixelSize) {
    return fontPixelSize + 1;
}

/// The default user-interface font of a Chinese desktop: SimSun, 9 points.
inline constexpr double kDefaultFontPoints = 9;

} // namespace pelvoran::layout
