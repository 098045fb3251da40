#pragma once
// The module-level values the link, the windows and the capture modes share.
// They live in one struct so a test can put everything back to the program's
// starting state with one call. Flags hold 0 for false and -1 for true.

#include <QString>
#include <cstdint>

namespace tavrel {

struct SharedValues {
    // Release line driver
    std::uint32_t DeviceHandle = 0;
    std::int32_t LastStatus = 0;
    std::int32_t DeviceOpen = 0;
    std::int16_t TraceMessages = 0;
    std::int32_t DeviceIndex = 0;
    std::uint32_t BytesWritten = 0;
    std::uint32_t DeviceCount = 0;
    // -1 from FT_Open's success until FT_Close: a handle to give back, even
    // while DeviceOpen is cleared by a window load.
    std::int32_t HandleOpen = 0;
    // The first of OpenDevice's four calls that failed ("FT_Open", ...) and
    // its status; empty after a set-up that went through.
    QString SetupFailedCall;
    std::int32_t SetupFailedStatus = 0;

    // Settings as read from the settings file
    QString DeviceIndexText;
    // FDTISerial: when set, the adapter is the chip with this serial number,
    // whatever its rank; DeviceIndex then follows that chip.
    QString DeviceSerialText;
    QString BitModeText;
    QString MaskText;
    QString DefaultDrive;
    QString DefaultDir;

    // Connection watch and exposures
    std::int32_t PollIntervalMs = 0;
    std::int16_t ShutterHeld = 0;
    std::int32_t ExposureClockMs = 0;

    // Jobs and scenario runs
    std::int32_t ShotCount = 0;
    std::int32_t ExposureSeconds = 0;
    std::int32_t MirrorDelaySeconds = 0;
    std::int32_t ShotIntervalSeconds = 0;
    std::int32_t StopRequested = 0;
    QString ScenarioPath;
    QString StepTime;
    QString StepComment;
    std::int32_t StepCount = 0;
    std::int32_t StepNumber = 0;

    // The mode and mask bytes handed to FT_SetBitMode, checked once when the
    // settings are loaded so that a mistyped value never reaches the chip.
    std::uint8_t BitMode = 0;
    std::uint8_t BitMask = 0;
};

// The one instance, alive for the whole run.
inline SharedValues g_sharedValues;
inline SharedValues &shared() { return g_sharedValues; }

// Back to the program's starting state (all zero and empty).
inline void resetSharedValues() { g_sharedValues = SharedValues{}; }

} // namespace tavrel
