#include "Thread.h"

#include <stdexcept>

TThread::TThread(bool createSuspended)
{
    Handle = CreateThread(nullptr, 0, ThreadProc, this, CREATE_SUSPENDED, nullptr);
    if (!Handle) throw std::runtime_error("Thread creation error");
    if (!createSuspended) Resume();
}

TThread::~TThread()
{
    // A thread that never ran must still end, without reaching the derived object's Execute.
    if (!FStarted) {
        FCancelled = true;
        ResumeThread(Handle);
        WaitForSingleObject(Handle, INFINITE);
    }
    CloseHandle(Handle);
}

void TThread::Resume()
{
    if (!FSuspended) return;
    FSuspended = false;
    FStarted = true;
    ResumeThread(Handle);
}

DWORD TThread::WaitFor()
{
    if (!FStarted) return 0;
    WaitForSingleObject(Handle, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(Handle, &code);
    return code;
}

DWORD WINAPI TThread::ThreadProc(LPVOID self)
{
    auto *thread = static_cast<TThread *>(self);
    if (!thread->FCancelled) thread->Execute();
    return 0;
}
