// The console key that stops the server. On a terminal, one key press (the terminal is
// put into single-key mode and restored on every exit). On other input, a byte read
// counts as a key and the end of the input does not. SIGINT and SIGTERM count as a key.
#pragma once

class ConsoleKeys {
public:
    ConsoleKeys();
    ~ConsoleKeys();
    ConsoleKeys(const ConsoleKeys&) = delete;
    ConsoleKeys& operator=(const ConsoleKeys&) = delete;

    // True when a key is waiting (or a stop signal came). Does not wait.
    bool keyPressed();
    // Reads every key still pending.
    void consumePendingKeys();
};
