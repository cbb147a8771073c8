#pragma once

// The program whose window shows the display lines.
class IRedrawHost
{
public:
    virtual ~IRedrawHost() = default;
    // Asks for one repaint of the whole window after a display line changed.
    virtual void Redraw() = 0;
};
