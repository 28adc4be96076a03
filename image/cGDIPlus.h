#pragma once
// The drawing engine behind Render's high-quality path: resampling with a
// bicubic filter that widens when shrinking (so nothing aliases), nearest
// neighbour, a 5x5 colour matrix and rotation about the destination centre.
// All own code; it needs no start-up, so it is always available.
class cGDIPlus {
public:
    // Always true here: the drawing code is part of the library. The token is
    // left untouched (nothing to start or keep).
    bool isGDIplusOk(long* gdiToken = nullptr, bool KeepToken = false) const;
};
