#include "image/cGDIPlus.h"

bool cGDIPlus::isGDIplusOk(long* /*gdiToken*/, bool /*KeepToken*/) const { return true; }
