#pragma once

// What the capture side tells its owner, from the device's streaming thread. The owner
// hands each on to its main thread.
class ICaptureEvents {
  public:
    virtual ~ICaptureEvents() = default;
    // A frame was added to the Capture queue. False when it cannot be announced (shutdown
    // has begun): the filter then takes the frame back.
    virtual bool FrameQueued() = 0;
    // The device ended streaming on its own.
    virtual void StreamFailed() = 0;
};
