#pragma once

// Where every control of the three windows stands, in pixels at 96 dpi,
// written out here rather than read from the product, so that a control moved
// by mistake fails both shells' layout tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

namespace pelvoran::test {

struct PixelRect {
    int left, top, width, height;

    int right() const { return left + width; }
    int bottom() const { return top + height; }
    bool operator==(const PixelRect&) const = default;
};

struct ControlPlace {
    const char* name;
    PixelRect rect;
};

struct WindowPlan {
    const char* window;
    int clientWidth, clientHeight;
    std::vector<ControlPlace> controls;
};

inline const std::vector<WindowPlan>& windowPlans() {
    static const std::vector<WindowPlan> plans = {
        {"PelvoranForm",
         334,
         188,
         {{"ProdSNText", {120, 40, 185, 33}},
          {"Label1", {16, 48, 97, 33}},
          {"Command1", {48, 144, 129, 25}},
          {"Command2", {192, 144, 57, 25}},
          {"Label2", {16, 88, 289, 41}},
          {"Command3", {264, 144, 57, 25}}}},
        {"HelpForm",
         405,
         388,
         {{"Label1", {32, 16, 353, 129}},
          {"Picture1", {32, 144, 353, 193}},
          {"Command1", {160, 352, 81, 25}}}},
        {"CommentForm",
         304,
         202,
         {{"CommentText", {24, 16, 249, 137}}, {"Command1", {112, 168, 81, 25}}}},
    };
    return plans;
}

inline std::ostream& operator<<(std::ostream& out, const PixelRect& r) {
    return out << "(" << r.left << "," << r.top << " " << r.width << "x" << r.height << ")";
}

/// Checks a window as a shell laid it out: each control where the plan puts
/// it, inside the client area, and no two of them overlapping. The help
/// window's label and picture share a row of pixels by design (the label's
/// last pixel row is the picture's first).
inline void expectLaidOut(const WindowPlan& plan, int clientWidth, int clientHeight,
                          const std::vector<ControlPlace>& got) {
    SCOPED_TRACE(plan.window);
    EXPECT_EQ(clientWidth, plan.clientWidth);
    EXPECT_EQ(clientHeight, plan.clientHeight);
    ASSERT_EQ(got.size(), plan.controls.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        const PixelRect& r = got[i].rect;
        EXPECT_EQ(std::string(got[i].name), plan.controls[i].name);
        EXPECT_EQ(r, plan.controls[i].rect) << got[i].name;
        EXPECT_TRUE(r.left >= 0 && r.top >= 0 && r.right() <= clientWidth &&
                    r.bottom() <= clientHeight)
            << got[i].name << " " << r << " leaves the client area";
        for (std::size_t j = 0; j < i; ++j) {
            const PixelRect& o = got[j].rect;
            const int overlapX = std::min(r.right(), o.right()) - std::max(r.left, o.left);
            const int overlapY = std::min(r.bottom(), o.bottom()) - std::max(r.top, o.top);
            EXPECT_FALSE(overlapX > 0 && overlapY > 1)
                << got[i].name << " " << r << " overlaps " << got[j].name << " " << o;
        }
    }
}

} // namespace pelvoran::test
