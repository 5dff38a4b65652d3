// Several instances listen at once and each connected client gets its own reader thread, so
// writers that start together all find a free instance and a writer that stalls never holds up
// the records of the others.
#include "pipeserver.h"

#include <utility>

namespace {

constexpr char kPipeName[] = "\\\\.\\pipe\\ZevTracePipe";
constexpr DWORD kBufferBytes = 4096;
// Instances listening at once. The library's writers wait at most a quarter of a second in
// all for a free instance (a record must never hold them up for long), which on a loaded
// machine may be shorter than setting up the next instance takes; enough listeners make a
// busy pipe rare in the first place.
constexpr int kListeners = 8;
// The default time-out that the pipe offers writers which ask for it; the library's writers
// ask for an explicit wait instead. The system default of 50 ms is shorter than a loaded
// machine needs to set up the next instance.
constexpr DWORD kWriterWaitMs = 1000;

struct Server {
  RecordSink sink;
  void* context;
  CRITICAL_SECTION sinkLock;  // lives until process exit: reader threads may still run then
};

struct ListenerStart {
  Server* server;
  HANDLE instance;  // the first listener gets the instance made while checking for a rival
};

HANDLE CreateInstance(bool first) {
  // Records come only from this machine's processes; remote clients are refused outright.
  DWORD openMode = PIPE_ACCESS_INBOUND | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  return ::CreateNamedPipeA(kPipeName, openMode,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                            PIPE_UNLIMITED_INSTANCES, kBufferBytes, kBufferBytes, kWriterWaitMs, nullptr);
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
  ListenerStart* start = static_cast<ListenerStart*>(parameter);
  Server* server = start->server;
  HANDLE instance = start->instance;
  delete start;
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
  FileHandle first(CreateInstance(true));
  if (!first) return false;
  // Never freed: the listener and reader threads use it until the process ends.
  Server* server = new Server{sink, context, {}};
  ::InitializeCriticalSection(&server->sinkLock);
  int started = 0;
  for (int i = 0; i < kListeners; ++i) {
    HANDLE instance = i == 0 ? first.Get() : INVALID_HANDLE_VALUE;
    ListenerStart* start = new ListenerStart{server, instance};
    KernelHandle thread(::CreateThread(nullptr, 0, Listen, start, 0, nullptr));
    if (!thread) {
      delete start;
      continue;
    }
    if (i == 0) (void)first.Take();  // the listener owns it now
    ++started;
  }
  return started > 0;
}
