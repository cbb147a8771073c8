#pragma once

#include "StatusView.h"

// The Station's client area: status line and last received text.
class CMy2View : public StatusView
{
    Q_OBJECT

public:
    using StatusView::StatusView;
};
