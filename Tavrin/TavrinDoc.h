#pragma once

#include "EmptyDocument.h"

// The Terminal's document: holds nothing.
class CMyDoc : public EmptyDocument
{
};
