#pragma once
// The pane layout of the main window and its minimum-size rule, as plain
// arithmetic in twips (float) that tests can drive without a window.

// What the layout reads from and moves on the window. Each reading is taken
// when the layout asks for it, never kept from an earlier step.
class PaneSurface {
public:
    virtual ~PaneSurface() = default;
    virtual float clientWidth() = 0;   // W: client width, twips
    virtual float statusHeight() = 0;  // S: current status-bar height, twips
    virtual float clientHeight() = 0;  // H: client height below the menu bar, status bar included
    virtual void moveInfoPane(float left, float top, float width, float height) = 0;
    virtual float infoPaneHeight() = 0;  // T: the information pane's height as it reports it
    virtual void moveSpyPane(float left, float top, float width, float height) = 0;
};

enum class LayoutOutcome {
    Done,       // both panes moved
    NotFinite,  // a result was not a finite number: nothing (more) was moved
};

// Lays the information pane over the top quarter of the free height and the spy
// display from 300 twips below it down to the status bar, both full width.
// A non-finite result stops the layout before the move that would use it; a
// free height too small for the layout gives the spy display height 0, never a
// negative one.
LayoutOutcome layOutPanes(PaneSurface &surface);

// The minimum outer size: both dimensions must be greater than this.
constexpr float kMinimumOuterTwips = 3000.0f;

// True when the outer size allows a layout; false when the window must be
// snapped to 3000 x 3000 twips (either dimension 3000 or less, or not a number).
bool outerSizeAllowsLayout(float outerHeight, float outerWidth);
