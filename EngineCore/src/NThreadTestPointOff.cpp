#include "NThreadTestPoint.h"

bool NThreadPassTestPoint(ENThreadTestPoint)
{
    return true;
}
