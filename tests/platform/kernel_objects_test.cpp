// Named kernel objects of a prefix, across real processes (forked helpers).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel_objects.h"
#include "procs_support.h"

namespace {

using platform::Error;
using platform::EventHandle;
using platform::KernelObjects;
using procs_test::Child;
using procs_test::Park;
using procs_test::Report;
using procs_test::TempPrefix;

// A fresh object of the same prefix, as another process opens it.
std::unique_ptr<KernelObjects> ObjectsOf(const TempPrefix& t) { return platform::posix::NewPosixKernelObjects(t.prefix()); }

TEST(Mutex, AlreadyExistsWhileAnotherProcessHoldsItAndIsFreeAfterItDies) {
  TempPrefix t;
  TempPrefix other;
  const std::string name = "downloader_NOVRA_861";
  Child holder([&](int fd) {
    std::unique_ptr<platform::MutexHandle> m;
    Report(fd, ObjectsOf(t)->CreateMutex(name, &m).ok() ? "created" : "failed");
    return Park();
  });
  ASSERT_EQ(holder.ReadLine(), "created");

  std::unique_ptr<platform::MutexHandle> second;
  EXPECT_EQ(t.objects().CreateMutex(name, &second), Error::kAlreadyExists);
  EXPECT_NE(second, nullptr);  // a handle of the existing mutex, as Windows returns one
  std::unique_ptr<platform::MutexHandle> elsewhere;
  EXPECT_TRUE(other.objects().CreateMutex(name, &elsewhere).ok());  // another machine's namespace

  holder.Kill();
  second.reset();
  std::unique_ptr<platform::MutexHandle> fresh;
  EXPECT_TRUE(t.objects().CreateMutex(name, &fresh).ok());
  std::unique_ptr<platform::MutexHandle> again;
  EXPECT_EQ(t.objects().CreateMutex(name, &again), Error::kAlreadyExists);  // within one process too
}

TEST(Mutex, NamesAreExactTextsSafeAsFileNames) {
  TempPrefix t;
  const std::vector<std::string> names = {"a", "A", "a/b", "..", "Global\\x", std::string(300, 'n'),
                                          std::string(300, 'n') + "1", "中文"};
  std::vector<std::unique_ptr<platform::MutexHandle>> held(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(t.objects().CreateMutex(names[i], &held[i]).ok());
  }
  for (const auto& entry : std::filesystem::directory_iterator(t.prefix().RunDir()))
    EXPECT_LE(entry.path().filename().string().size(), 90u) << entry.path();
  std::unique_ptr<platform::MutexHandle> none;
  EXPECT_EQ(t.objects().CreateMutex("", &none), Error::kInvalid);
}

TEST(RegisteredMessage, SameNameSameIdInEveryProcessOfThePrefix) {
  TempPrefix t;
  const std::string name = "zq_detect_tools_single_msgidNOVRA_2145";
  Child first([&](int fd) {
    Report(fd, std::to_string(ObjectsOf(t)->RegisterWindowMessage("other message")));
    Report(fd, std::to_string(ObjectsOf(t)->RegisterWindowMessage(name)));
    return 0;
  });
  uint32_t otherId = static_cast<uint32_t>(std::stoul(first.ReadLine()));
  uint32_t id = static_cast<uint32_t>(std::stoul(first.ReadLine()));
  EXPECT_GE(id, 0xC000u);
  EXPECT_LE(id, 0xFFFFu);
  EXPECT_NE(id, otherId);
  EXPECT_EQ(t.objects().RegisterWindowMessage(name), id);
  EXPECT_EQ(ObjectsOf(t)->RegisterWindowMessage("ZQ_DETECT_TOOLS_SINGLE_MSGIDNOVRA_2145"), id);  // atoms ignore case
  EXPECT_EQ(t.objects().RegisterWindowMessage(""), 0u);
  EXPECT_EQ(t.objects().RegisterWindowMessage(std::string(256, 'x')), 0u);
}

TEST(RegisteredMessage, ConcurrentRegistrationsAgree) {
  TempPrefix t;
  std::vector<std::unique_ptr<Child>> children;
  for (int i = 0; i < 4; ++i)
    children.push_back(std::make_unique<Child>([&](int fd) {
      auto objects = ObjectsOf(t);
      std::string ids;
      for (int n = 0; n < 20; ++n) ids += std::to_string(objects->RegisterWindowMessage("m" + std::to_string(n))) + ",";
      Report(fd, ids);
      return 0;
    }));
  std::string expected;
  for (int n = 0; n < 20; ++n) expected += std::to_string(t.objects().RegisterWindowMessage("m" + std::to_string(n))) + ",";
  for (auto& c : children) EXPECT_EQ(c->ReadLine(), expected);
}

// A listening helper process of a prefix: reports every broadcast it receives as "msg wParam lParam".
std::unique_ptr<Child> Listener(const TempPrefix& t) {
  auto child = std::make_unique<Child>([&t](int fd) {
    auto objects = ObjectsOf(t);
    auto listener = objects->ListenForBroadcasts([fd](uint32_t msg, uintptr_t w, intptr_t l) {
      Report(fd, std::to_string(msg) + " " + std::to_string(w) + " " + std::to_string(l));
    });
    Report(fd, listener ? "listening" : "failed");
    return Park();
  });
  EXPECT_EQ(child->ReadLine(), "listening");
  return child;
}

TEST(Broadcast, ReachesListenersOfThePrefixOnly) {
  TempPrefix t;
  TempPrefix other;
  auto same = Listener(t);
  auto foreign = Listener(other);
  std::mutex lock;
  std::vector<std::string> ownReceived;
  auto own = t.objects().ListenForBroadcasts([&](uint32_t msg, uintptr_t w, intptr_t l) {
    std::lock_guard<std::mutex> g(lock);
    ownReceived.push_back(std::to_string(msg) + " " + std::to_string(w) + " " + std::to_string(l));
  });
  ASSERT_NE(own, nullptr);

  ASSERT_TRUE(t.objects().PostBroadcast(0xC001, 1, 0).ok());
  ASSERT_TRUE(t.objects().PostBroadcast(0xC001, 2, -5).ok());
  EXPECT_EQ(same->ReadLine(), "49153 1 0");
  EXPECT_EQ(same->ReadLine(), "49153 2 -5");
  EXPECT_EQ(foreign->ReadLine(300), "");  // nothing reaches another prefix
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    {
      std::lock_guard<std::mutex> g(lock);
      if (ownReceived.size() == 2 || std::chrono::steady_clock::now() > deadline) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::lock_guard<std::mutex> g(lock);
  EXPECT_EQ(ownReceived, (std::vector<std::string>{"49153 1 0", "49153 2 -5"}));
}

TEST(Broadcast, SkipsAndRemovesEndpointsOfDeadProcesses) {
  TempPrefix t;
  {
    auto dead = Listener(t);
    dead->Kill();  // leaves its socket behind
  }
  auto alive = Listener(t);
  size_t before = 0;
  for (const auto& e : std::filesystem::directory_iterator(t.prefix().RunDir()))
    before += e.path().filename().string().rfind("bcast-", 0) == 0;
  ASSERT_EQ(before, 2u);
  ASSERT_TRUE(t.objects().PostBroadcast(0xC002, 1, 0).ok());
  EXPECT_EQ(alive->ReadLine(), "49154 1 0");
  size_t after = 0;
  for (const auto& e : std::filesystem::directory_iterator(t.prefix().RunDir()))
    after += e.path().filename().string().rfind("bcast-", 0) == 0;
  EXPECT_EQ(after, 1u);
}

TEST(Pipe, ServerReadsTheClientsMessageByteForByte) {
  TempPrefix t;
  const std::string path = "\\\\.\\pipe\\NOVRA_PopNOVRA861";
  Child server([&](int fd) {
    auto objects = ObjectsOf(t);
    std::unique_ptr<platform::PipeServer> s;
    if (!objects->CreatePipeServer(path, &s).ok()) {
      Report(fd, "failed");
      return 1;
    }
    Report(fd, "ready");
    for (int i = 0; i < 2; ++i) {
      std::unique_ptr<platform::PipeConnection> c;
      std::string message;
      if (!s->Accept(&c, 10000).ok() || !c->Read(&message, 10000).ok()) return 1;
      std::string hex;
      for (unsigned char ch : message) hex += "0123456789abcdef"[ch >> 4], hex += "0123456789abcdef"[ch & 15];
      Report(fd, std::to_string(message.size()) + ":" + hex);
      Report(fd, c->Read(&message, 10000) == Error::kBrokenPipe ? "closed" : "more");
    }
    return 0;
  });
  ASSERT_EQ(server.ReadLine(), "ready");

  std::unique_ptr<platform::PipeServer> twin;
  EXPECT_EQ(t.objects().CreatePipeServer(path, &twin), Error::kAlreadyExists);

  const std::string messages[] = {"NOVRA_PopUpdatePopCmd||", std::string("a\0b\xff\n", 5)};
  for (const auto& message : messages) {
    std::unique_ptr<platform::PipeClient> client;
    ASSERT_TRUE(t.objects().OpenPipe("\\\\.\\PIPE\\NOVRA_PopNOVRA861", &client).ok());
    size_t written = 0;
    ASSERT_TRUE(client->Write(message.data(), message.size(), &written).ok());
    EXPECT_EQ(written, message.size());
    client.reset();
    std::string hex;
    for (unsigned char ch : message) hex += "0123456789abcdef"[ch >> 4], hex += "0123456789abcdef"[ch & 15];
    EXPECT_EQ(server.ReadLine(), std::to_string(message.size()) + ":" + hex);
    EXPECT_EQ(server.ReadLine(), "closed");
  }
}

TEST(Pipe, OpenFailsWithoutAServer) {
  TempPrefix t;
  const std::string longName = "\\\\.\\pipe\\" + std::string(200, 'p');
  std::unique_ptr<platform::PipeClient> client;
  EXPECT_EQ(t.objects().OpenPipe("\\\\.\\pipe\\NOVRA_PopNOVRA861", &client), Error::kNotFound);
  EXPECT_EQ(client, nullptr);
  EXPECT_EQ(t.objects().OpenPipe("NOVRA_PopNOVRA861", &client), Error::kInvalid);
  EXPECT_EQ(t.objects().OpenPipe("\\\\.\\pipe\\", &client), Error::kInvalid);
  {
    std::unique_ptr<platform::PipeServer> server;
    ASSERT_TRUE(t.objects().CreatePipeServer(longName, &server).ok());
    EXPECT_TRUE(t.objects().OpenPipe(longName, &client).ok());
    client.reset();
  }
  EXPECT_EQ(t.objects().OpenPipe(longName, &client), Error::kNotFound);  // the server is gone

  // A server that died without cleaning up leaves a socket file; it is neither served nor in the way.
  Child dying([&](int fd) {
    std::unique_ptr<platform::PipeServer> s;
    Report(fd, ObjectsOf(t)->CreatePipeServer(longName, &s).ok() ? "ready" : "failed");
    return Park();
  });
  ASSERT_EQ(dying.ReadLine(), "ready");
  dying.Kill();
  EXPECT_EQ(t.objects().OpenPipe(longName, &client), Error::kNotFound);
  std::unique_ptr<platform::PipeServer> replacement;
  EXPECT_TRUE(t.objects().CreatePipeServer(longName, &replacement).ok());
}

TEST(Events, SetInOneProcessEndsAWaitOnSeveralInAnother) {
  TempPrefix t;
  const std::string no = "Global\\NOVRA_PopUpdatePopCmdNOVRA_No";
  const std::string yes = "Global\\NOVRA_PopUpdatePopCmdNOVRA_Yes";
  Child waiter([&](int fd) {
    auto objects = ObjectsOf(t);
    std::unique_ptr<EventHandle> n;
    std::unique_ptr<EventHandle> y;
    if (!objects->CreateEvent(no, false, false, &n).ok() || !objects->CreateEvent(yes, false, false, &y).ok())
      return 1;
    Report(fd, "ready");
    for (int round = 0; round < 2; ++round) {
      size_t index = 99;
      platform::Status s = objects->WaitForAnyEvent({n.get(), y.get()}, 10000, &index);
      Report(fd, s.ok() ? std::to_string(index) : platform::ErrorName(s.code()));
    }
    size_t index = 99;
    Report(fd, objects->WaitForAnyEvent({n.get(), y.get()}, 0, &index) == Error::kTimeout ? "reset" : "still set");
    return 0;
  });
  ASSERT_EQ(waiter.ReadLine(), "ready");
  std::unique_ptr<EventHandle> y;
  ASSERT_TRUE(t.objects().OpenEvent(yes, &y).ok());
  ASSERT_TRUE(y->Set().ok());
  EXPECT_EQ(waiter.ReadLine(), "1");
  std::unique_ptr<EventHandle> n;
  EXPECT_EQ(t.objects().CreateEvent(no, false, true, &n), Error::kAlreadyExists);  // opened, state kept
  ASSERT_TRUE(n->Set().ok());
  EXPECT_EQ(waiter.ReadLine(), "0");
  EXPECT_EQ(waiter.ReadLine(), "reset");  // auto-reset: each signal ended one wait
}

TEST(Events, WaitTimesOutWhenNothingIsSetAndEventsDieWithTheirLastHandle) {
  TempPrefix t;
  std::unique_ptr<EventHandle> a;
  std::unique_ptr<EventHandle> b;
  ASSERT_TRUE(t.objects().CreateEvent("a", false, false, &a).ok());
  ASSERT_TRUE(t.objects().CreateEvent("b", true, true, &b).ok());
  size_t index = 99;
  EXPECT_EQ(t.objects().WaitForAnyEvent({a.get()}, 50, &index), Error::kTimeout);
  // A manual-reset event stays signalled through waits until reset.
  EXPECT_TRUE(t.objects().WaitForAnyEvent({a.get(), b.get()}, 0, &index).ok());
  EXPECT_EQ(index, 1u);
  EXPECT_TRUE(t.objects().WaitForAnyEvent({a.get(), b.get()}, 0, &index).ok());
  ASSERT_TRUE(b->Reset().ok());
  EXPECT_EQ(t.objects().WaitForAnyEvent({a.get(), b.get()}, 20, &index), Error::kTimeout);
  EXPECT_EQ(t.objects().WaitForAnyEvent({}, 0, &index), Error::kInvalid);

  std::unique_ptr<EventHandle> opened;
  EXPECT_EQ(t.objects().OpenEvent("missing", &opened), Error::kNotFound);
  ASSERT_TRUE(a->Set().ok());
  a.reset();
  EXPECT_EQ(t.objects().OpenEvent("a", &opened), Error::kNotFound);
  ASSERT_TRUE(t.objects().CreateEvent("a", false, false, &a).ok());  // a new event, not signalled
  EXPECT_EQ(t.objects().WaitForAnyEvent({a.get()}, 0, &index), Error::kTimeout);
}

TEST(KernelObjects, WorkInAPrefixWhoseRunFolderIsLongerThanASocketAddress) {
  TempPrefix t(std::string(60, 'd') + "/" + std::string(60, 'e'));
  ASSERT_GT(t.prefix().RunDir().size(), 108u);
  auto listener = Listener(t);
  ASSERT_TRUE(t.objects().PostBroadcast(0xC003, 1, 7).ok());
  EXPECT_EQ(listener->ReadLine(), "49155 1 7");

  std::unique_ptr<platform::PipeServer> server;
  ASSERT_TRUE(t.objects().CreatePipeServer("\\\\.\\pipe\\p", &server).ok());
  std::unique_ptr<platform::PipeClient> client;
  ASSERT_TRUE(ObjectsOf(t)->OpenPipe("\\\\.\\pipe\\p", &client).ok());
  size_t written = 0;
  ASSERT_TRUE(client->Write("xyz", 3, &written).ok());
  std::unique_ptr<platform::PipeConnection> connection;
  ASSERT_TRUE(server->Accept(&connection, 10000).ok());
  std::string message;
  ASSERT_TRUE(connection->Read(&message, 10000).ok());
  EXPECT_EQ(message, "xyz");
}

}  // namespace
