// The plug-in object created through COM and driven by the Remote Desktop
// client stand-in, as the client drives it. The engine runs for real here:
// these tests run only inside the loopback-only namespace of scripts/wine-run.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
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

class PluginObject : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(standin::whyNotATestNetwork(), "") << "the plug-in's collectors must not run here";
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        PluginLog::instance().mark();
        dll_ = std::make_unique<standin::PluginDll>(standin::pluginPathBesideProgram());
        ASSERT_TRUE(dll_->loaded());
        // Wine's CoCreateInstance finds classes registered per machine only.
        ASSERT_EQ(dll_->registerServer(), S_OK);
        ASSERT_EQ(CLSIDFromString(kClsid.c_str(), &clsid_), S_OK);
    }
    void TearDown() override {
        if (dll_) dll_->unregisterServer();
        dll_.reset();
        CoUninitialize();
    }

    std::unique_ptr<standin::PluginDll> dll_;
    CLSID clsid_{};
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

}  // namespace

TEST_F(PluginObject, LivesThroughAWholeSessionAndAnswersThroughWrite) {
    EXPECT_EQ(dll_->canUnloadNow(), S_OK);
    const std::set<DWORD> before = newThreads();
    {
        standin::Session session;
        ASSERT_EQ(session.create(clsid_), S_OK);
        EXPECT_EQ(dll_->canUnloadNow(), S_FALSE);

        ASSERT_EQ(session.initialize(), S_OK);
        auto registrations = session.manager().registrations();
        ASSERT_EQ(registrations.size(), 1u);
        EXPECT_EQ(registrations[0].channelName, "qmlink-dvc");
        EXPECT_EQ(registrations[0].flags, 0u);
        // The returned listener is released before Initialize returns.
        EXPECT_EQ(standin::Listener::live(), 0);
        EXPECT_EQ(session.connected(), S_OK);
        EXPECT_TRUE(newThreads(before).empty()) << "nothing runs before a channel opens";

        BOOL accepted = FALSE;
        ASSERT_EQ(session.openChannel(&accepted), S_OK);
        EXPECT_TRUE(accepted);
        ASSERT_NE(session.callback(), nullptr);
        standin::Channel* channel = session.channel();
        EXPECT_EQ(channel->references(), 2u) << "the plug-in holds the channel";
        const std::set<DWORD> engine = newThreads(before, kEngineThreads);
        EXPECT_EQ(engine.size(), kEngineThreads);

        // One Write per answer (the soak plays every kind, the native tests check
        // the answers); an unknown kind gets none.
        EXPECT_EQ(session.send(tvxcodec::pingRequest()),
                  (std::vector<Bytes>{{0x50, 0x49, 0x4E, 0x47, 0x00, 0x02, 0x00, 0x00, 0x00}}));
        EXPECT_TRUE(session.send(Bytes{'p', 'i', 'n', 'g', 0}).empty());
        EXPECT_EQ(channel->reservedArguments(), 0u);

        // Closing stops the engine and lets go of the channel; a late message
        // is still handled but answered nowhere.
        standin::Ref<IWTSVirtualChannelCallback> callback(session.callback());
        callback->AddRef();
        EXPECT_EQ(session.closeChannel(), S_OK);
        EXPECT_EQ(stillRunning(engine), 0u);
        EXPECT_EQ(channel->references(), 1u);
        std::size_t written = channel->writeCount();
        Bytes late = tvxcodec::pingRequest();
        EXPECT_EQ(callback->OnDataReceived(static_cast<ULONG>(late.size()), late.data()), S_OK);
        EXPECT_EQ(channel->writeCount(), written);
        callback.reset();

        EXPECT_EQ(session.disconnected(7), S_OK);
        EXPECT_EQ(session.terminated(), S_OK);
        EXPECT_EQ(dll_->canUnloadNow(), S_FALSE);
        session.release();
        EXPECT_EQ(dll_->canUnloadNow(), S_OK);
    }

    EXPECT_EQ(findInOrder(PluginLog::instance().mark(), {
                                     {"DEBUG", "DOZAPlugin::Initialize", "plugin 'Initialize' event"},
                                     {"DEBUG", "DOZAPlugin::Connected", "plugin 'Connected' evevent"},
                                     {"DEBUG", "DOZAPlugin::OnNewChannelConnection", "plugin 'new channel' event."},
                                     {"DEBUG", "DOZAPlugin::OnNewChannelConnection", "init platform collection threads ..."},
                                     {"DEBUG", "platform_init", "***** Starting pooling thread..."},
                                     {"DEBUG", "lume_init", "***** Starting lume thread..."},
                                     {"DEBUG", "DOZAPlugin::OnNewChannelConnection", "init platform collection threads ... Ok"},
                                     {"DEBUG", "DOZAPlugin::OnDataReceived", "RDP OnDataReceived: [5] PING"},
                                     {"ERROR", "DOZAPlugin::OnDataReceived", "RDP OnDataReceived: unexpected msg type received"},
                                     {"DEBUG", "DOZAPlugin::OnClose", "plugin 'close channel' event."},
                                     {"DEBUG", "DOZAPlugin::OnClose", "shutdown platform collection threads ..."},
                                     {"DEBUG", "platform_shutdown", "***** Stopping polling thread..."},
                                     {"DEBUG", "lume_shutdown", "***** Stopping lume thread..."},
                                     {"DEBUG", "DOZAPlugin::OnClose", "shutdown platform collection threads ... Ok"},
                                     {"DEBUG", "DOZAPlugin::Disconnected", "plugin 'Disconnected' event7"},
                                     {"DEBUG", "platform_shutdown", "***** Stopping polling thread..."},
                                     {"DEBUG", "DOZAPlugin::Terminated", "plugin 'Terminated' event"},
                                     {"DEBUG", "DOZAPlugin::FinalRelease", "plugin received final release"},
                                 }),
              "")
        << "log file " << PluginLog::instance().file().string();
}

TEST_F(PluginObject, InitializePassesAFailingCreateListenerCodeThrough) {
    for (HRESULT failure : {E_ACCESSDENIED, static_cast<HRESULT>(0x80070490)}) {
        standin::Session session;
        ASSERT_EQ(session.create(clsid_), S_OK);
        session.manager().failCreateListenerWith(failure);
        EXPECT_EQ(session.initialize(), failure);
        EXPECT_EQ(session.manager().registrations().size(), 1u);
    }
    EXPECT_EQ(dll_->canUnloadNow(), S_OK);

    // A client that hands no channel manager gets an error, not a crash.
    standin::Session session;
    ASSERT_EQ(session.create(clsid_), S_OK);
    EXPECT_EQ(session.plugin()->Initialize(nullptr), E_POINTER);
}

TEST_F(PluginObject, ASecondChannelReplacesTheFirstAndTerminatedAloneStopsAll) {
    const std::set<DWORD> before = newThreads();
    standin::Session session;
    ASSERT_EQ(session.create(clsid_), S_OK);
    ASSERT_EQ(session.initialize(), S_OK);
    ASSERT_EQ(session.openChannel(), S_OK);
    standin::Ref<standin::Channel> first(session.channel());
    first->AddRef();
    const std::set<DWORD> firstEngine = newThreads(before, kEngineThreads);
    EXPECT_EQ(firstEngine.size(), kEngineThreads);

    ASSERT_EQ(session.openChannel(), S_OK);
    standin::Channel* second = session.channel();
    EXPECT_EQ(first->references(), 1u) << "the first channel is released";
    EXPECT_EQ(second->references(), 2u);
    // The task threads were stopped and started anew; the bridge kept running.
    EXPECT_EQ(stillRunning(firstEngine), 1u);
    EXPECT_EQ(newThreads(before, kEngineThreads).size(), kEngineThreads);

    EXPECT_EQ(session.send(tvxcodec::pingRequest()).size(), 1u);
    EXPECT_EQ(first->writeCount(), 0u);

    // Clients built on FreeRDP end with Terminated alone: it stops what runs
    // and lets go of the channel.
    EXPECT_EQ(session.terminated(), S_OK);
    EXPECT_EQ(stillRunning(newThreads(before)), 0u);
    EXPECT_EQ(second->references(), 1u);
    session.release();
    EXPECT_EQ(dll_->canUnloadNow(), S_OK);
}

TEST_F(PluginObject, StaysLoadedWhileTheEngineRunsWithoutItsObject) {
    const std::set<DWORD> before = newThreads();
    {
        standin::Session session;
        ASSERT_EQ(session.create(clsid_), S_OK);
        ASSERT_EQ(session.initialize(), S_OK);
        ASSERT_EQ(session.openChannel(), S_OK);
        // Released without OnClose or Disconnected: the threads run on.
    }
    EXPECT_EQ(stillRunning(newThreads(before, kEngineThreads)), kEngineThreads);
    EXPECT_EQ(dll_->canUnloadNow(), S_FALSE);
    using Stop = void (*)();
    auto stop = [&](const char* name) {
        auto f = reinterpret_cast<Stop>(reinterpret_cast<void (*)()>(GetProcAddress(dll_->module(), name)));
        ASSERT_NE(f, nullptr) << name;
        f();
    };
    stop("platform_shutdown");
    EXPECT_EQ(dll_->canUnloadNow(), S_FALSE) << "the agent bridge still runs";
    stop("lume_shutdown");
    EXPECT_EQ(stillRunning(newThreads(before)), 0u);
    EXPECT_EQ(dll_->canUnloadNow(), S_OK);
}

TEST_F(PluginObject, AnswersItsThreeInterfacesWithOneIdentityAndCanBeAggregated) {
    {
        standin::Session session;
        ASSERT_EQ(session.create(clsid_), S_OK);
        IWTSPlugin* plugin = session.plugin();
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
    EXPECT_EQ(dll_->canUnloadNow(), S_OK);

    // Aggregated: only the inner IUnknown may be asked for, and the
    // interfaces count their references on the outer object.
    Outer outer;
    standin::Ref<IWTSPlugin> refused;
    EXPECT_EQ(CoCreateInstance(clsid_, &outer, CLSCTX_INPROC_SERVER, __uuidof(IWTSPlugin),
                               reinterpret_cast<void**>(refused.put())),
              CLASS_E_NOAGGREGATION);
    IUnknown* inner = nullptr;
    ASSERT_EQ(CoCreateInstance(clsid_, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&inner)),
              S_OK);
    EXPECT_EQ(outer.references, 1u);
    IWTSPlugin* plugin = nullptr;
    ASSERT_EQ(inner->QueryInterface(__uuidof(IWTSPlugin), reinterpret_cast<void**>(&plugin)), S_OK);
    EXPECT_EQ(outer.references, 2u);
    IUnknown* identity = nullptr;
    ASSERT_EQ(plugin->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
    EXPECT_EQ(outer.references, 3u);
    identity->Release();
    plugin->Release();
    EXPECT_EQ(outer.references, 1u);
    EXPECT_EQ(dll_->canUnloadNow(), S_FALSE);
    inner->Release();
    EXPECT_EQ(dll_->canUnloadNow(), S_OK);

    // Server locks and held class objects keep the module loaded; there is
    // no class object for another class.
    standin::Ref<IClassFactory> factory;
    EXPECT_EQ(dll_->getClassObject(IID_IUnknown, IID_IClassFactory, reinterpret_cast<void**>(factory.put())),
              CLASS_E_CLASSNOTAVAILABLE);
    ASSERT_EQ(dll_->getClassObject(clsid_, IID_IClassFactory, reinterpret_cast<void**>(factory.put())), S_OK);
    EXPECT_EQ(dll_->canUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.reset();
    EXPECT_EQ(dll_->canUnloadNow(), S_FALSE);
    ASSERT_EQ(dll_->getClassObject(clsid_, IID_IClassFactory, reinterpret_cast<void**>(factory.put())), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.reset();
    EXPECT_EQ(dll_->canUnloadNow(), S_OK);
}

namespace {

// A channel on the heap that frees itself on its last release. Its memory is
// kept, so a write without a reference of its own lands in a dead object
// (never in reused memory) and is counted.
class SelfFreeingChannel final : public IWTSVirtualChannel {
public:
    static inline std::atomic<int> misuse{0};
    static inline std::atomic<int> live{0};
    SelfFreeingChannel() { ++live; }
    ~SelfFreeingChannel() {
        misuse += writing_.load();
        dead_ = true;
        --live;
    }
    static void operator delete(void*) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE Write(ULONG, BYTE*, IUnknown*) override {
        misuse += dead_ ? 1 : 0;
        ++writing_;
        Sleep(1);
        --writing_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Close() override { return S_OK; }

private:
    std::atomic<ULONG> references_{1};
    std::atomic<int> writing_{0};
    std::atomic<bool> dead_{false};
};

}  // namespace

TEST_F(PluginObject, WritesHoldTheChannelWhileCloseAndReopenRace) {
    standin::Session session;
    ASSERT_EQ(session.create(clsid_), S_OK);
    ASSERT_EQ(session.initialize(), S_OK);
    standin::Ref<IWTSListenerCallback> listener = session.manager().listenerFor(standin::kChannelName);
    ASSERT_TRUE(listener);
    standin::Ref<IWTSVirtualChannelCallback> callback;
    std::atomic<bool> done{false};
    auto open = [&] {
        auto* channel = new SelfFreeingChannel;
        BOOL accept = FALSE;
        standin::Ref<IWTSVirtualChannelCallback> accepted;
        EXPECT_EQ(listener->OnNewChannelConnection(channel, nullptr, &accept, accepted.put()), S_OK);
        channel->Release();  // the plug-in's reference is the only one left
        if (!callback) callback = accepted;
    };
    open();
    std::vector<std::thread> senders;
    for (int i = 0; i < 3; ++i)
        senders.emplace_back([&] {
            Bytes ping = tvxcodec::pingRequest();
            while (!done) callback->OnDataReceived(static_cast<ULONG>(ping.size()), ping.data());
        });
    for (int round = 0; round < 40; ++round) {
        Sleep(3);
        if (round % 2) callback->OnClose();
        open();
    }
    done = true;
    for (auto& t : senders) t.join();
    callback->OnClose();
    EXPECT_EQ(SelfFreeingChannel::misuse.load(), 0) << "a channel was written after its last release";
    EXPECT_EQ(SelfFreeingChannel::live.load(), 0);
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
    std::wstring command = L"\"" + std::wstring(self) +
                           L"\" --gtest_also_run_disabled_tests --gtest_filter=PluginExitChild.*";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child));
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(child.hProcess, &status);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    EXPECT_EQ(status, 0u);
}

TEST(PluginNetworkGuard, AcceptsOnlyLoopbackLinkLocalAndTheLabsRanges) {
    const std::vector<std::uint8_t> ipv6Loopback = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const std::vector<std::uint8_t> linkLocal = {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0x02, 0x11, 0x22, 0xFF, 0xFE, 0x33, 0x44, 0x55};
    const std::vector<std::uint8_t> global = {0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    for (const auto& address : std::vector<std::vector<std::uint8_t>>{
             {127, 0, 0, 1}, {127, 9, 9, 9}, {198, 51, 100, 1}, {203, 0, 113, 254}, {198, 18, 0, 1}, {198, 19, 255, 9}, ipv6Loopback,
             linkLocal})
        EXPECT_TRUE(standin::isTestAddress(address)) << standin::addressText(address);
    for (const auto& address : std::vector<std::vector<std::uint8_t>>{
             {10, 0, 0, 5}, {192, 168, 1, 2}, {8, 8, 8, 8}, {198, 51, 101, 1}, {203, 0, 112, 1}, {0, 0, 0, 0},
             {192, 0, 2, 7}, {198, 17, 0, 1}, {198, 20, 0, 1}, global})
        EXPECT_FALSE(standin::isTestAddress(address)) << standin::addressText(address);

    EXPECT_EQ(standin::checkTestNetworkOnly({{"lo", true, {127, 0, 0, 1}}, {"veth0", false, {198, 51, 100, 2}}}), "");
    EXPECT_EQ(standin::checkTestNetworkOnly(
                  {{"lo", true, {127, 0, 0, 1}}, {"eth0", false, {10, 1, 2, 3}}, {"wlan0", false, global}}),
              "an interface outside the test networks is up: eth0 10.1.2.3, wlan0 2001:db8::1");
}
