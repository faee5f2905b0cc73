#include "shell/pane_layout.h"

#include <cmath>

namespace {
constexpr float kInfoShare = 4.0f;
constexpr float kPaneGap = 300.0f;

bool finite(float v)
{
    return std::isfinite(v);
}
}  // namespace

LayoutOutcome layOutPanes(PaneSurface &surface)
{
    // Information pane: the top quarter of the height above the status bar.
    const float w1 = surface.clientWidth();
    const float s1 = surface.statusHeight();
    const float h1 = surface.clientHeight();
    float infoHeight = (h1 - s1) / kInfoShare;
    if (!finite(infoHeight) || !finite(w1))
        return LayoutOutcome::NotFinite;
    if (infoHeight < 0.0f)
        infoHeight = 0.0f;
    surface.moveInfoPane(0.0f, 0.0f, w1, infoHeight);

    // Spy display: from the gap below the pane as it now reports itself down
    // to the status bar.
    (void)surface.infoPaneHeight();
    const float w2 = surface.clientWidth();
    const float s2 = surface.statusHeight();
    const float t = surface.infoPaneHeight();
    const float h2 = surface.clientHeight();
    float spyHeight = h2 - s2 - t - kPaneGap;
    const float spyTop = t + kPaneGap;
    if (!finite(spyHeight) || !finite(spyTop) || !finite(w2))
        return LayoutOutcome::NotFinite;
    if (spyHeight < 0.0f)
        spyHeight = 0.0f;
    surface.moveSpyPane(0.0f, spyTop, w2, spyHeight);
    return LayoutOutcome::Done;
}

bool outerSizeAllowsLayout(float outerHeight, float outerWidth)
{
    return outerHeight > kMinimumOuterTwips && outerWidth > kMinimumOuterTwips;
}
