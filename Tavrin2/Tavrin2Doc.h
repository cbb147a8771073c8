#pragma once

#include "EmptyDocument.h"

// The Station's document: holds nothing.
class CMy2Doc : public EmptyDocument
{
};
