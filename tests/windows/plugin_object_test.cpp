// The plug-in object created through COM and driven by the Remote Desktop
// client stand-in, as the client drives it. The engine runs for real here:
// these tests run only inside the loopback-only namespace of scripts/wine-run.
#include <windows.h>
#include <process.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "codec/codec.h"
#include "plugin_test_support.h"
#include "rdclient/network_guard.h"

using namespace plugintest;
using standin::Bytes;

namespace {

// The engine's eight task threads and the agent bridge's thread.
constexpr std::size_t kEngineThreads = 9;

const wchar_t kLogKey[] = L"Software\\Quillmere\\Telvista\\Log\\client";

// Each test starts with a plug-in object created through COM. The plug-in's
// log is on: the first Initialize of the process reads the values set here;
// the DLL stays loaded so that its logger lives on.
class PluginObject : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::error_code ec;
        std::filesystem::remove_all(logFolder(), ec);
        LoadLibraryW(standin::pluginPathBesideProgram().c_str());
    }
    static std::filesystem::path logFolder() { return tvxtest::tempFolder("doza-plugin-test-log"); }
    static std::string logText() {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(logFolder(), ec))
            return tvxtest::readFile(entry.path());
        return {};
    }
    void SetUp() override {
        ASSERT_EQ(standin::whyNotATestNetwork(), "") << "the plug-in's collectors must not run here";
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ASSERT_TRUE(dll_.loaded());
        // Wine's CoCreateInstance finds classes registered per machine only.
        ASSERT_EQ(dll_.registerServer(), S_OK);
        ASSERT_EQ(CLSIDFromString(kClsid.c_str(), &clsid_), S_OK);
        ASSERT_EQ(session_.create(clsid_), S_OK);
    }
    void TearDown() override {
        session_.release();
        dll_.unregisterServer();
        CoUninitialize();
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quillmere");
    }

    tvxtest::RegValue severity_{HKEY_CURRENT_USER, kLogKey, L"severity", DWORD{5}};
    tvxtest::RegValue logRoot_{HKEY_CURRENT_USER, kLogKey, L"path_root", logFolder().wstring()};
    standin::PluginDll dll_{standin::pluginPathBesideProgram()};
    CLSID clsid_{};
    standin::Session session_;
};

// The interface asked for, or null.
template <typename I>
standin::Ref<I> query(IUnknown* from, REFIID iid = __uuidof(I)) {
    standin::Ref<I> out;
    if (from) from->QueryInterface(iid, reinterpret_cast<void**>(out.put()));
    return out;
}

// An outer object for aggregation that counts the references it is given.
class Outer final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!IsEqualIID(riid, IID_IUnknown)) return E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    ULONG references = 1;
};

// A channel that its last release marks dead instead of freeing it (the test
// keeps its memory), so that a write without a reference of its own is seen
// rather than landing in reused memory.
class MortalChannel final : public IWTSVirtualChannel {
public:
    static inline std::atomic<int> misuse{0};
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references;
        if (left == 0) misuse += writing_.load();
        return left;
    }
    HRESULT STDMETHODCALLTYPE Write(ULONG, BYTE*, IUnknown*) override {
        ++writing_;
        misuse += references == 0 ? 1 : 0;
        Sleep(1);
        --writing_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Close() override { return S_OK; }
    std::atomic<ULONG> references{1};

private:
    std::atomic<int> writing_{0};
};

}  // namespace

TEST_F(PluginObject, LivesThroughAWholeSessionAndAnswersThroughWrite) {
    const std::size_t logStart = logText().size();
    const std::set<DWORD> before = newThreads();
    ASSERT_EQ(session_.initialize(), S_OK);
    auto registrations = session_.manager().registrations();
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(registrations[0].channelName, "qmlink-dvc");
    EXPECT_EQ(registrations[0].flags, 0u);
    // The returned listener is released before Initialize returns.
    EXPECT_EQ(standin::Listener::live(), 0);
    EXPECT_EQ(session_.connected(), S_OK);
    EXPECT_TRUE(newThreads(before).empty()) << "nothing runs before a channel opens";

    BOOL accepted = FALSE;
    ASSERT_EQ(session_.openChannel(&accepted), S_OK);
    EXPECT_TRUE(accepted);
    ASSERT_NE(session_.callback(), nullptr);
    standin::Channel* channel = session_.channel();
    EXPECT_EQ(channel->references(), 2u) << "the plug-in holds the channel";
    const std::set<DWORD> engine = newThreads(before, kEngineThreads);
    EXPECT_EQ(engine.size(), kEngineThreads);

    // One Write per answer (the soak plays every kind, the native tests check
    // the answers); an unknown kind gets none.
    EXPECT_EQ(session_.send(tvxcodec::pingRequest()),
              (std::vector<Bytes>{{0x50, 0x49, 0x4E, 0x47, 0x00, 0x02, 0x00, 0x00, 0x00}}));
    EXPECT_TRUE(session_.send(Bytes{'p', 'i', 'n', 'g', 0}).empty());
    EXPECT_EQ(channel->reservedArguments(), 0u);

    // Closing stops the engine and lets go of the channel.
    EXPECT_EQ(session_.closeChannel(), S_OK);
    EXPECT_EQ(stillRunning(engine), 0u);
    EXPECT_EQ(channel->references(), 1u);
    EXPECT_EQ(session_.disconnected(7), S_OK);
    EXPECT_EQ(session_.terminated(), S_OK);
    session_.release();
    // A lookup given up on holds the module until WinHTTP has let it go.
    EXPECT_TRUE(tvxtest::waitUntil([&] { return dll_.canUnloadNow() == S_OK; }));

    EXPECT_EQ(findInOrder(logText().substr(logStart), {
                  "DEBUG DOZAPlugin::Initialize plugin 'Initialize' event",
                  "DEBUG DOZAPlugin::Connected plugin 'Connected' evevent",
                  "DEBUG DOZAPlugin::OnNewChannelConnection plugin 'new channel' event.",
                  "DEBUG DOZAPlugin::OnNewChannelConnection init platform collection threads ...",
                  "DEBUG platform_init ***** Starting pooling thread...",
                  "DEBUG lume_init ***** Starting lume thread...",
                  "DEBUG DOZAPlugin::OnNewChannelConnection init platform collection threads ... Ok",
                  "DEBUG DOZAPlugin::OnDataReceived RDP OnDataReceived: [5] PING",
                  "ERROR DOZAPlugin::OnDataReceived RDP OnDataReceived: unexpected msg type received",
                  "DEBUG DOZAPlugin::OnClose plugin 'close channel' event.",
                  "DEBUG DOZAPlugin::OnClose shutdown platform collection threads ...",
                  "DEBUG platform_shutdown ***** Stopping polling thread...",
                  "DEBUG lume_shutdown ***** Stopping lume thread...",
                  "DEBUG DOZAPlugin::OnClose shutdown platform collection threads ... Ok",
                  "DEBUG DOZAPlugin::Disconnected plugin 'Disconnected' event7",
                  "DEBUG platform_shutdown ***** Stopping polling thread...",
                  "DEBUG DOZAPlugin::Terminated plugin 'Terminated' event",
                  "DEBUG DOZAPlugin::FinalRelease plugin received final release",
              }),
              "")
        << "log folder " << logFolder().string();
}

TEST_F(PluginObject, InitializePassesAFailingCreateListenerCodeThrough) {
    // A client that hands no channel manager gets an error, not a crash.
    EXPECT_EQ(session_.plugin()->Initialize(nullptr), E_POINTER);
    session_.manager().failCreateListenerWith(static_cast<HRESULT>(0x80070490));
    EXPECT_EQ(session_.initialize(), static_cast<HRESULT>(0x80070490));
    EXPECT_EQ(session_.manager().registrations().size(), 1u);
    session_.release();
    EXPECT_EQ(dll_.canUnloadNow(), S_OK);
}

namespace {

// An instance opened through the session, its channel and callback kept
// after the session has moved on to a newer one.
struct KeptInstance {
    standin::Ref<standin::Channel> channel;
    standin::Ref<IWTSVirtualChannelCallback> callback;
    explicit KeptInstance(standin::Session& session) : channel(session.channel()), callback(session.callback()) {
        channel->AddRef();
        callback->AddRef();
    }
    void ping() {
        Bytes ping = tvxcodec::pingRequest();
        callback->OnDataReceived(static_cast<ULONG>(ping.size()), ping.data());
    }
};

}  // namespace

TEST_F(PluginObject, EachChannelInstanceIsServedUntilItClosesAndTheLastStopsTheEngine) {
    const std::set<DWORD> before = newThreads();
    ASSERT_EQ(session_.initialize(), S_OK);
    ASSERT_EQ(session_.openChannel(), S_OK);
    KeptInstance first(session_);
    const std::set<DWORD> firstEngine = newThreads(before, kEngineThreads);

    // The remote side opens the channel again before the old instance's
    // close arrives: both are served, each answered on its own channel.
    ASSERT_EQ(session_.openChannel(), S_OK);
    standin::Channel* second = session_.channel();
    EXPECT_NE(session_.callback(), first.callback.get());
    EXPECT_EQ(first.channel->references(), 2u) << "the first channel is still held";
    // The task threads were stopped and started anew; the bridge kept running.
    EXPECT_EQ(stillRunning(firstEngine), 1u);
    EXPECT_EQ(newThreads(before, kEngineThreads).size(), kEngineThreads);
    EXPECT_EQ(session_.send(tvxcodec::pingRequest()).size(), 1u);
    EXPECT_EQ(first.channel->writeCount(), 0u);
    first.ping();
    EXPECT_EQ(first.channel->writeCount(), 1u);

    // Closing the first leaves the second served and the engine running.
    EXPECT_EQ(first.callback->OnClose(), S_OK);
    EXPECT_EQ(first.channel->references(), 1u);
    EXPECT_EQ(stillRunning(newThreads(before)), kEngineThreads);
    EXPECT_EQ(session_.send(tvxcodec::pingRequest()).size(), 1u);
    first.ping();
    EXPECT_EQ(first.channel->writeCount(), 1u) << "a closed instance is not written to";

    // Clients built on FreeRDP end with Terminated alone: it stops what runs
    // and lets go of every channel.
    EXPECT_EQ(session_.terminated(), S_OK);
    EXPECT_EQ(stillRunning(newThreads(before)), 0u);
    EXPECT_EQ(second->references(), 1u);
}

TEST_F(PluginObject, ClosingTheNewerInstanceFirstKeepsTheOlderServed) {
    const std::set<DWORD> before = newThreads();
    ASSERT_EQ(session_.initialize(), S_OK);
    ASSERT_EQ(session_.openChannel(), S_OK);
    KeptInstance first(session_);
    ASSERT_EQ(session_.openChannel(), S_OK);
    EXPECT_EQ(session_.closeChannel(), S_OK);
    EXPECT_EQ(stillRunning(newThreads(before)), kEngineThreads);
    first.ping();
    EXPECT_EQ(first.channel->writeCount(), 1u);
    EXPECT_EQ(first.callback->OnClose(), S_OK);
    EXPECT_EQ(stillRunning(newThreads(before)), 0u);
    EXPECT_EQ(first.channel->references(), 1u);
}

TEST_F(PluginObject, StaysLoadedWhileTheEngineRunsWithoutItsObject) {
    const std::set<DWORD> before = newThreads();
    ASSERT_EQ(session_.initialize(), S_OK);
    ASSERT_EQ(session_.openChannel(), S_OK);
    // Released without OnClose or Disconnected: the threads run on.
    session_.release();
    EXPECT_EQ(stillRunning(newThreads(before, kEngineThreads)), kEngineThreads);
    for (const char* name : {"platform_shutdown", "lume_shutdown"}) {
        EXPECT_EQ(dll_.canUnloadNow(), S_FALSE) << "before " << name;
        const auto stop = reinterpret_cast<void (*)()>(GetProcAddress(dll_.module(), name));
        ASSERT_NE(stop, nullptr) << name;
        stop();
    }
    EXPECT_EQ(stillRunning(newThreads(before)), 0u);
    EXPECT_EQ(dll_.canUnloadNow(), S_OK);
}

TEST_F(PluginObject, AnswersItsThreeInterfacesWithOneIdentityAndCanBeAggregated) {
    {
        IWTSPlugin* plugin = session_.plugin();
        const auto identity = query<IUnknown>(plugin, IID_IUnknown);
        const auto channelCallback = query<IWTSVirtualChannelCallback>(identity.get());
        const auto listenerCallback = query<IWTSListenerCallback>(channelCallback.get());
        ASSERT_TRUE(identity && channelCallback && listenerCallback);
        for (IUnknown* from : {static_cast<IUnknown*>(channelCallback.get()), static_cast<IUnknown*>(listenerCallback.get())}) {
            EXPECT_EQ(query<IUnknown>(from, IID_IUnknown).get(), identity.get());
            EXPECT_EQ(query<IWTSPlugin>(from).get(), plugin);
        }
        // Not offered: the registrar interface of the type library, IDispatch, IClassFactory.
        IID registrar{};
        IIDFromString(L"{A817E7A2-43FA-11D0-9E44-00AA00B6770A}", &registrar);
        for (const IID& iid : {registrar, IID_IDispatch, IID_IClassFactory, __uuidof(IWTSVirtualChannel)}) {
            void* none = reinterpret_cast<void*>(1);
            EXPECT_EQ(plugin->QueryInterface(iid, &none), E_NOINTERFACE);
            EXPECT_EQ(none, nullptr);
        }
    }
    session_.release();
    EXPECT_EQ(dll_.canUnloadNow(), S_OK);

    // Aggregated: only the inner IUnknown may be asked for, and the
    // interfaces count their references on the outer object.
    Outer outer;
    standin::Ref<IUnknown> inner;
    EXPECT_EQ(CoCreateInstance(clsid_, &outer, CLSCTX_INPROC_SERVER, __uuidof(IWTSPlugin),
                               reinterpret_cast<void**>(inner.put())),
              CLASS_E_NOAGGREGATION);
    ASSERT_EQ(
        CoCreateInstance(clsid_, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(inner.put())),
        S_OK);
    EXPECT_EQ(outer.references, 1u);
    {
        const auto plugin = query<IWTSPlugin>(inner.get());
        EXPECT_EQ(outer.references, 2u);
        EXPECT_EQ(query<IUnknown>(plugin.get(), IID_IUnknown).get(), &outer);
    }
    EXPECT_EQ(outer.references, 1u);
    EXPECT_EQ(dll_.canUnloadNow(), S_FALSE);
    inner.reset();
    EXPECT_EQ(dll_.canUnloadNow(), S_OK);

    // Server locks and held class objects keep the module loaded; there is
    // no class object for another class.
    standin::Ref<IClassFactory> factory;
    EXPECT_EQ(dll_.getClassObject(IID_IUnknown, IID_IClassFactory, reinterpret_cast<void**>(factory.put())),
              CLASS_E_CLASSNOTAVAILABLE);
    ASSERT_EQ(dll_.getClassObject(clsid_, IID_IClassFactory, reinterpret_cast<void**>(factory.put())), S_OK);
    EXPECT_EQ(dll_.canUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.reset();
    EXPECT_EQ(dll_.canUnloadNow(), S_FALSE);
    ASSERT_EQ(dll_.getClassObject(clsid_, IID_IClassFactory, reinterpret_cast<void**>(factory.put())), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.reset();
    EXPECT_EQ(dll_.canUnloadNow(), S_OK);
}

TEST_F(PluginObject, WritesHoldTheChannelWhileCloseAndReopenRace) {
    ASSERT_EQ(session_.initialize(), S_OK);
    standin::Ref<IWTSListenerCallback> listener = session_.manager().listenerFor(standin::kChannelName);
    ASSERT_TRUE(listener);
    static std::list<MortalChannel> channels;
    std::mutex openedMutex;
    std::vector<standin::Ref<IWTSVirtualChannelCallback>> opened;
    auto newest = [&] {
        std::lock_guard<std::mutex> lock(openedMutex);
        return opened.back();
    };
    std::atomic<bool> done{false};
    auto open = [&] {
        MortalChannel* channel = &channels.emplace_back();
        BOOL accept = FALSE;
        standin::Ref<IWTSVirtualChannelCallback> accepted;
        EXPECT_EQ(listener->OnNewChannelConnection(channel, nullptr, &accept, accepted.put()), S_OK);
        channel->Release();  // the plug-in's reference is the only one left
        std::lock_guard<std::mutex> lock(openedMutex);
        opened.push_back(accepted);
    };
    open();
    std::vector<std::thread> senders;
    for (int i = 0; i < 3; ++i)
        senders.emplace_back([&] {
            Bytes ping = tvxcodec::pingRequest();
            while (!done) newest()->OnDataReceived(static_cast<ULONG>(ping.size()), ping.data());
        });
    for (int round = 0; round < 40; ++round) {
        Sleep(3);
        if (round % 2) newest()->OnClose();
        open();
    }
    done = true;
    for (auto& t : senders) t.join();
    for (auto& callback : opened) callback->OnClose();
    EXPECT_EQ(MortalChannel::misuse.load(), 0) << "a channel was written after its last release";
    for (const MortalChannel& channel : channels) EXPECT_EQ(channel.references.load(), 0u);
}

// Run as a child process by the next test: leaves the channel open and
// returns from main, as a host that exits without Disconnected does.
// The class is registered by the parent's fixture.
TEST(PluginExitChild, DISABLED_OpensTheChannelAndReturnsFromMain) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromString(kClsid.c_str(), &clsid), S_OK);
    auto* session = new standin::Session;
    ASSERT_EQ(session->create(clsid), S_OK);
    ASSERT_EQ(session->initialize(), S_OK);
    ASSERT_EQ(session->openChannel(), S_OK);
    ASSERT_EQ(session->send(tvxcodec::pingRequest()).size(), 1u);
}

TEST_F(PluginObject, AHostThatExitsWithTheChannelOpenExitsCleanly) {
    wchar_t self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    const std::wstring quoted = L"\"" + std::wstring(self) + L"\"";
    // The child logs nowhere, so its lines stay out of this process's log.
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quillmere");
    EXPECT_EQ(_wspawnl(_P_WAIT, self, quoted.c_str(), L"--gtest_also_run_disabled_tests",
                       L"--gtest_filter=PluginExitChild.*", nullptr),
              0);
}

TEST(PluginNetworkGuard, AcceptsOnlyLoopbackLinkLocalAndTheLabsRanges) {
    const std::vector<std::uint8_t> ipv6Loopback = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const std::vector<std::uint8_t> linkLocal = {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0x02, 0x11, 0x22, 0xFF, 0xFE, 0x33, 0x44, 0x55};
    const std::vector<std::uint8_t> global = {0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    // One address per range and the ranges' edges.
    for (const auto& address : std::vector<std::vector<std::uint8_t>>{
             {127, 9, 9, 9}, {198, 51, 100, 1}, {203, 0, 113, 254}, {198, 19, 255, 9}, ipv6Loopback, linkLocal})
        EXPECT_TRUE(standin::isTestAddress(address)) << standin::addressText(address);
    for (const auto& address : std::vector<std::vector<std::uint8_t>>{
             {8, 8, 8, 8}, {198, 51, 101, 1}, {203, 0, 112, 1}, {192, 0, 2, 7}, {198, 17, 0, 1}, {198, 20, 0, 1},
             global})
        EXPECT_FALSE(standin::isTestAddress(address)) << standin::addressText(address);
    EXPECT_EQ(standin::checkTestNetworkOnly({{"lo", true, {127, 0, 0, 1}}, {"veth0", false, {198, 51, 100, 2}}}), "");
    EXPECT_EQ(standin::checkTestNetworkOnly(
                  {{"lo", true, {127, 0, 0, 1}}, {"eth0", false, {10, 1, 2, 3}}, {"wlan0", false, global}}),
              "an interface outside the test networks is up: eth0 10.1.2.3, wlan0 2001:db8::1");
}
