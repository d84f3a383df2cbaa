// The process-wide values of the command layer.
#pragma once

// The last status word (0x9000 at load): the `sw` store of every app_*
// exchange. Read through get_last_sw() (include/rx7100_app.h).
extern int g_last_sw;

// Pseudo status words.
constexpr int SW_OK = 0x9000;
constexpr int SW_ENCODE_FAILED = 0x8001;
constexpr int SW_UNKNOWN_HANDLE = 0x8002;
constexpr int SW_SEND_FAILED = 0x8003;
constexpr int SW_RECEIVE_FAILED = 0x8004;
constexpr int SW_DECODE_FAILED = 0x8005;

// The response buffer of one exchange.
constexpr int kMaxResponse = 2048;
