#pragma once

// Timer ids of the main window; the ids of the first design are kept. The other timers
// are declared by their owners.
constexpr int IDT_ENVIRONMENT = 2240;
constexpr int IDT_CLIENT_ACTIVITY = 2243;
