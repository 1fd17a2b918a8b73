#pragma once

#include <cstdint>

// Message and timer ids of the main window. The numbers are part of the system's
// interface (a second start and the frame servers post them) and must not change.
constexpr uint32_t WM_COMMAND = 0x0111;
constexpr uint32_t WM_USER = 0x0400;

constexpr uint32_t WM_CLIENTGONE = 2236;  // wParam: channel, lParam: session id
constexpr uint32_t WM_GRAB_START = 2238;
constexpr uint32_t WM_SERVER_QUIT = 2239;
constexpr uint32_t WM_GRAB_STOP = 2241;
constexpr uint32_t WM_APPLY_CAMERA_SETTINGS = 2242;
// The capture device ended streaming on its own (posted by the grabber).
constexpr uint32_t WM_GRAB_FAILED = 2247;

// wParam of WM_CLIENTGONE.
constexpr uintptr_t CHANNEL_LOSSLESS = 2236;
constexpr uintptr_t CHANNEL_LOSSY = 2237;

// WM_COMMAND id posted once per queued frame by the capture hand-off.
constexpr uintptr_t ID_FRAME_READY = 32808;

constexpr int IDT_ENVIRONMENT = 2240;
constexpr int IDT_CLIENT_ACTIVITY = 2243;
