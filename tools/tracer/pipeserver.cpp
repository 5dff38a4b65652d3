// One listening instance at a time; each connected client gets its own reader thread, so a
// writer that stalls never holds up the records of the others.
#include "pipeserver.h"

#include <utility>

namespace {

constexpr char kPipeName[] = "\\\\.\\pipe\\ZevTracePipe";
constexpr DWORD kBufferBytes = 4096;

struct Server {
  RecordSink sink;
  void* context;
  CRITICAL_SECTION sinkLock;  // lives until process exit: reader threads may still run then
  FileHandle firstInstance;
};

HANDLE CreateInstance(bool first) {
  // Records come only from this machine's processes; remote clients are refused outright.
  DWORD openMode = PIPE_ACCESS_INBOUND | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  return ::CreateNamedPipeA(kPipeName, openMode,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                            PIPE_UNLIMITED_INSTANCES, kBufferBytes, kBufferBytes, 0, nullptr);
}

struct Client {
  Server* server;
  HANDLE pipe;
};

DWORD WINAPI ReadClient(void* parameter) {
  Client* client = static_cast<Client*>(parameter);
  Server* server = client->server;
  FileHandle pipe(client->pipe);
  delete client;
  std::string message;
  char buffer[kBufferBytes];
  for (;;) {
    DWORD got = 0;
    BOOL ok = ::ReadFile(pipe.Get(), buffer, sizeof buffer, &got, nullptr);
    if (!ok && ::GetLastError() == ERROR_MORE_DATA) {  // a message larger than the buffer
      message.append(buffer, got);
      continue;
    }
    if (!ok) break;  // ERROR_BROKEN_PIPE: the client closed its end
    message.append(buffer, got);
    // A record ends in one zero byte; a client that sends none still gets its text shown.
    if (!message.empty() && message.back() == '\0') message.pop_back();
    ::EnterCriticalSection(&server->sinkLock);
    server->sink(message, server->context);
    ::LeaveCriticalSection(&server->sinkLock);
    message.clear();
  }
  ::DisconnectNamedPipe(pipe.Get());
  return 0;
}

DWORD WINAPI Listen(void* parameter) {
  Server* server = static_cast<Server*>(parameter);
  HANDLE instance = server->firstInstance.Take();
  for (;;) {
    if (instance == INVALID_HANDLE_VALUE) {
      instance = CreateInstance(false);
      if (instance == INVALID_HANDLE_VALUE) {
        ::Sleep(100);  // out of resources: try again rather than stop listening for good
        continue;
      }
    }
    if (!::ConnectNamedPipe(instance, nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) {
      ::CloseHandle(instance);
      instance = INVALID_HANDLE_VALUE;
      continue;
    }
    Client* client = new Client{server, instance};
    KernelHandle thread(::CreateThread(nullptr, 0, ReadClient, client, 0, nullptr));
    if (!thread) {
      delete client;
      ::CloseHandle(instance);
    }
    instance = INVALID_HANDLE_VALUE;
  }
}

}  // namespace

bool StartTraceServer(RecordSink sink, void* context) {
  // Two tracers would each get a share of the records. FILE_FLAG_FIRST_PIPE_INSTANCE refuses a
  // second one on Windows; Wine ignores the flag, so ask first whether any server has the name
  // (only "not found" means none: a time-out means all its instances are busy).
  if (::WaitNamedPipeA(kPipeName, 1) || ::GetLastError() != ERROR_FILE_NOT_FOUND) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  HANDLE first = CreateInstance(true);
  if (first == INVALID_HANDLE_VALUE) return false;
  // Never freed: the listener and reader threads use it until the process ends.
  Server* server = new Server{sink, context, {}, FileHandle(first)};
  ::InitializeCriticalSection(&server->sinkLock);
  KernelHandle thread(::CreateThread(nullptr, 0, Listen, server, 0, nullptr));
  return thread.IsValid();
}
