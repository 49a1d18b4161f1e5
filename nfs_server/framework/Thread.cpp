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
    if (Handle) CloseHandle(Handle);
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
    static_cast<TThread *>(self)->Execute();
    return 0;
}
