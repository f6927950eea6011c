// The console key that stops the server. On a terminal, one key press (the terminal is
// put into single-key mode and restored on every exit). On other input, a byte read
// counts as a key and the end of the input does not. SIGINT and SIGTERM count as a key.
// SIGHUP asks for a reload of the settings: it wakes the loop like a stop signal, and
// takeReloadRequest tells it apart.
#pragma once

class ConsoleKeys {
public:
    ConsoleKeys();
    ~ConsoleKeys();
    ConsoleKeys(const ConsoleKeys&) = delete;
    ConsoleKeys& operator=(const ConsoleKeys&) = delete;

    // What the main loop waits on besides its sockets: a descriptor that becomes readable
    // when a stop signal arrives, and the console input (-1 once that input has ended, so
    // that an input at its end does not wake the loop again and again).
    int signalDescriptor() const;
    int inputDescriptor() const;

    // True when a key is waiting (or a stop signal came). Does not wait.
    bool keyPressed();
    // True once for each time SIGHUP came (several before a call count once). Call it after
    // keyPressed, which empties the signal descriptor, so that a request that comes later
    // wakes the loop again.
    bool takeReloadRequest();
    // Reads every key still pending.
    void consumePendingKeys();
};
