#include "output/modTL.h"

void InitGfxOutput() {}

int DisplayCachedImage(const std::string&, const std::string&) { return 1; }

void ClearGfxOutput() {}

void ShowGfxOutput() {}

void HideGfxOutput() {}

void SetGfxOutputTopMost(bool) {}
