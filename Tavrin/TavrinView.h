#pragma once

#include "StatusView.h"

// The Terminal's status view: the status line above the last received text.
class CMyView : public StatusView
{
    Q_OBJECT

public:
    using StatusView::StatusView;
};
