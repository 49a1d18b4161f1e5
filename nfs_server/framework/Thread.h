// A thread object in place of the class library's TThread: created suspended or running, with a
// terminate flag that the thread body polls, and WaitFor for its end.
#pragma once

#include <windows.h>

#include <atomic>

class TThread {
public:
    explicit TThread(bool createSuspended);
    TThread(const TThread &) = delete;
    TThread &operator=(const TThread &) = delete;
    // The owner must have ended a resumed thread (Terminate, WaitFor) before it is destroyed.
    virtual ~TThread();

    void Resume();
    void Terminate() { FTerminated = true; }
    DWORD WaitFor();
    bool Terminated() const { return FTerminated; }
    bool Suspended() const { return FSuspended; }
    bool Started() const { return FStarted; }

protected:
    virtual void Execute() = 0;
    HANDLE ThreadHandle() const { return Handle; }

private:
    static DWORD WINAPI ThreadProc(LPVOID self);

    HANDLE Handle = nullptr;
    std::atomic<bool> FTerminated{false};
    bool FCancelled = false;  // never resumed: the thread ends without running Execute
    bool FSuspended = true;
    bool FStarted = false;
};
