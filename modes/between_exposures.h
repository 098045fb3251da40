#pragma once
// The place between two exposures of a run where something else may happen
// (a dither of the guider): the exposure machines tell it of each release
// that another exposure follows, and hold the next press while it asks them
// to. A press tied to a time of day is never held; a stop ends the wait.

namespace tavrel {

class BetweenExposures {
public:
    virtual ~BetweenExposures() = default;
    // The release of an exposure has just been written, and it was not the
    // run's last.
    virtual void afterRelease() = 0;
    // Whether the next press must still wait.
    virtual bool holdsNextPress() const = 0;
};

// How often a held press looks again.
inline constexpr int kHoldPollMs = 100;

} // namespace tavrel
