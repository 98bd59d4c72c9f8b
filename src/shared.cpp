// The shared state with its start values.
#include "shared.h"

std::atomic<uint8_t> key_state[KEY_COUNT];
std::atomic<int> mode_type{MODE_NONE};
std::atomic<int> pre_mode_type{MODE_IMAGE_SCREEN};
std::atomic<bool> is_entry_MP{false};
std::atomic<bool> MP_key_combination{false};
std::atomic<int> exit_MP{0};
std::atomic<bool> key_scan_task_is_running{false};
std::atomic<bool> backlight_task_is_running{false};
std::atomic<int> m_SuspendFlag{0};
pthread_mutex_t m_SuspendMutex = PTHREAD_MUTEX_INITIALIZER;
