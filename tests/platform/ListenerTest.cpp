// Property listeners: delivery on the notification thread with the changed
// addresses, wildcard matching, and the removal guarantee under concurrent
// notification.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "AudioTestSupport.h"

namespace {

using namespace audiotest;
using namespace std::chrono_literals;

struct Heard {
  std::thread::id thread;
  AudioObjectID object;
  std::vector<AudioObjectPropertyAddress> addresses;
};

struct Recorder {
  std::mutex mutex;
  std::vector<Heard> heard;
  static OSStatus proc(AudioObjectID object, uint32_t n, const AudioObjectPropertyAddress* a, void* me) {
    auto* r = static_cast<Recorder*>(me);
    std::lock_guard lock(r->mutex);
    r->heard.push_back({std::this_thread::get_id(), object, {a, a + n}});
    return noErr;
  }
  std::vector<Heard> take() {
    std::lock_guard lock(mutex);
    return std::exchange(heard, {});
  }
};

class Listeners : public ::testing::Test {
 protected:
  ProviderScope provider;
  AudioObjectID testSignal = provider->deviceNamed("Test Signal");
  AudioObjectID loopback = provider->deviceNamed("Loopback");
  AudioObjectID multi = provider->deviceNamed("Multichannel");
  Recorder recorder;

  void listen(AudioObjectID id, AudioObjectPropertyAddress a) {
    ASSERT_EQ(AudioObjectAddPropertyListener(id, &a, Recorder::proc, &recorder), noErr);
  }
  void unlisten(AudioObjectID id, AudioObjectPropertyAddress a) {
    ASSERT_EQ(AudioObjectRemovePropertyListener(id, &a, Recorder::proc, &recorder), noErr);
  }
};

TEST_F(Listeners, ChangeIsHeardOnTheNotificationThreadWithItsAddresses) {
  const AudioObjectPropertyAddress wildcardIn{kAudioObjectPropertySelectorWildcard, kAudioObjectPropertyScopeInput, 0};
  listen(testSignal, wildcardIn);
  ASSERT_EQ(setProperty(testSignal, {kAudioStreamPropertyPhysicalFormat, kAudioObjectPropertyScopeInput, 0},
                        sim::linearPcmFormat(44100, 2, 16)),
            noErr);
  provider->flushNotifications();
  auto heard = recorder.take();
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_NE(heard[0].thread, std::this_thread::get_id());
  EXPECT_EQ(heard[0].object, testSignal);
  // The rate notice is global and does not reach an input-scope registration.
  ASSERT_EQ(heard[0].addresses.size(), 2u);
  EXPECT_EQ(heard[0].addresses[0].mSelector, kAudioStreamPropertyPhysicalFormat);
  EXPECT_EQ(heard[0].addresses[0].mScope, kAudioObjectPropertyScopeInput);
  EXPECT_EQ(heard[0].addresses[1].mSelector, kAudioStreamPropertyVirtualFormat);

  // Wildcard: every selector of the scope, on any element; nothing of other scopes.
  ASSERT_EQ(provider->setVolume(multi, kAudioObjectPropertyScopeInput, 3, 0.5f), noErr);  // another device
  ASSERT_EQ(provider->setVolume(testSignal, kAudioObjectPropertyScopeInput, 0, 0.5f), noErr);
  ASSERT_EQ(provider->setDataSource(testSignal, kAudioObjectPropertyScopeInput, fourCC("nois")), noErr);
  provider->notify(testSignal, {fourCC("abcd"), kAudioObjectPropertyScopeInput, 2});
  provider->notify(testSignal, {fourCC("abcd"), kAudioObjectPropertyScopeOutput, 0});
  provider->flushNotifications();
  heard = recorder.take();
  ASSERT_EQ(heard.size(), 3u);
  EXPECT_EQ(heard[0].addresses[0].mSelector, kAudioDevicePropertyVolumeScalar);
  EXPECT_EQ(heard[1].addresses[0].mSelector, kAudioDevicePropertyDataSource);
  EXPECT_EQ(heard[2].addresses[0].mSelector, fourCC("abcd"));
  EXPECT_EQ(heard[2].addresses[0].mElement, 2u);

  // A write that changes nothing fires nothing.
  ASSERT_EQ(provider->setDataSource(testSignal, kAudioObjectPropertyScopeInput, fourCC("nois")), noErr);
  provider->flushNotifications();
  EXPECT_TRUE(recorder.take().empty());
}

TEST_F(Listeners, DeviceListAndDefaultDeviceNoticesComeFromTheSystemObject) {
  listen(kAudioObjectSystemObject, {kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0});
  listen(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal, 0});
  // Registering twice keeps one registration.
  listen(kAudioObjectSystemObject, {kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0});

  ASSERT_TRUE(provider->removeDevice(loopback));  // the default output
  provider->flushNotifications();
  auto heard = recorder.take();
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0].object, kAudioObjectSystemObject);
  ASSERT_EQ(heard[0].addresses.size(), 1u);
  EXPECT_EQ(heard[0].addresses[0].mSelector, kAudioHardwarePropertyDevices);
  ASSERT_EQ(heard[1].addresses.size(), 1u);
  EXPECT_EQ(heard[1].addresses[0].mSelector, kAudioHardwarePropertyDefaultOutputDevice);
  AudioObjectID id = 0;
  EXPECT_EQ(getProperty(kAudioObjectSystemObject,
                        {kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal, 0}, id),
            noErr);
  EXPECT_EQ(id, multi);

  unlisten(kAudioObjectSystemObject, {kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0});
  const AudioObjectPropertyAddress devices{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0};
  EXPECT_NE(AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &devices, Recorder::proc, &recorder), noErr);
  provider->addDevice(sim::defaultDevices()[1]);
  provider->flushNotifications();
  EXPECT_TRUE(recorder.take().empty());
}

// A listener may read and write properties and may take its time: the
// provider holds none of its locks while it runs.
TEST_F(Listeners, ListenerMayCallBackIntoTheModel) {
  struct Ctx {
    AudioObjectID device;
    std::atomic<int> calls{0};
    std::atomic<uint32_t> sourceSeen{0};
  } ctx{testSignal};
  auto proc = [](AudioObjectID id, uint32_t, const AudioObjectPropertyAddress*, void* p) -> OSStatus {
    auto* c = static_cast<Ctx*>(p);
    uint32_t source = 0;
    getProperty(id, {kAudioDevicePropertyDataSource, kAudioObjectPropertyScopeInput, 0}, source);
    c->sourceSeen = source;
    if (c->calls++ == 0) setProperty(id, {kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeInput, 0}, 0.3f);
    return noErr;
  };
  const AudioObjectPropertyAddress a{kAudioObjectPropertySelectorWildcard, kAudioObjectPropertyScopeInput, 0};
  ASSERT_EQ(AudioObjectAddPropertyListener(testSignal, &a, proc, &ctx), noErr);
  ASSERT_EQ(provider->setDataSource(testSignal, kAudioObjectPropertyScopeInput, fourCC("2ton")), noErr);
  provider->flushNotifications();
  provider->flushNotifications();  // the volume change fired from within the listener
  EXPECT_EQ(ctx.calls.load(), 2);
  EXPECT_EQ(ctx.sourceSeen.load(), fourCC("2ton"));
  ASSERT_EQ(AudioObjectRemovePropertyListener(testSignal, &a, proc, &ctx), noErr);
}

TEST_F(Listeners, RemovalWaitsForARunningCallAndNothingFollowsIt) {
  struct Ctx {
    std::atomic<bool> inside{false}, release{false}, removed{false}, calledAfterRemoval{false};
  } ctx;
  auto proc = [](AudioObjectID, uint32_t, const AudioObjectPropertyAddress*, void* p) -> OSStatus {
    auto* c = static_cast<Ctx*>(p);
    if (c->removed) c->calledAfterRemoval = true;
    c->inside = true;
    while (!c->release) std::this_thread::sleep_for(1ms);
    return noErr;
  };
  const AudioObjectPropertyAddress a{fourCC("test"), kAudioObjectPropertyScopeGlobal, 0};
  ASSERT_EQ(AudioObjectAddPropertyListener(loopback, &a, proc, &ctx), noErr);
  provider->notify(loopback, a);
  provider->notify(loopback, a);  // queued behind the first
  while (!ctx.inside) std::this_thread::sleep_for(1ms);

  std::atomic<bool> returned{false};
  std::thread remover([&] {
    EXPECT_EQ(AudioObjectRemovePropertyListener(loopback, &a, proc, &ctx), noErr);
    returned = true;
    ctx.removed = true;
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(returned.load()) << "removal returned while its listener was running";
  ctx.release = true;
  remover.join();
  provider->flushNotifications();
  EXPECT_FALSE(ctx.calledAfterRemoval.load());
}

TEST_F(Listeners, RemovalUnderConcurrentNotificationNeverSeesALateCall) {
  struct Ctx {
    std::atomic<bool> removed{false};
    std::atomic<int> late{0}, calls{0};
  };
  auto proc = [](AudioObjectID, uint32_t, const AudioObjectPropertyAddress*, void* p) -> OSStatus {
    auto* c = static_cast<Ctx*>(p);
    if (c->removed) ++c->late;
    ++c->calls;
    return noErr;
  };
  const AudioObjectPropertyAddress a{fourCC("test"), kAudioObjectPropertyScopeGlobal, 0};
  std::atomic<bool> stop{false};
  std::thread notifier([&] {
    while (!stop) {
      provider->notify(loopback, a);
      std::this_thread::yield();
    }
  });
  std::vector<std::unique_ptr<Ctx>> rounds;
  for (int round = 0; round < 200; ++round) {
    auto& ctx = *rounds.emplace_back(std::make_unique<Ctx>());
    ASSERT_EQ(AudioObjectAddPropertyListener(loopback, &a, proc, &ctx), noErr);
    while (ctx.calls == 0) std::this_thread::yield();
    ASSERT_EQ(AudioObjectRemovePropertyListener(loopback, &a, proc, &ctx), noErr);
    ctx.removed = true;
  }
  stop = true;
  notifier.join();
  provider->flushNotifications();
  for (size_t i = 0; i < rounds.size(); ++i) EXPECT_EQ(rounds[i]->late.load(), 0) << "round " << i;
}

TEST_F(Listeners, ListenerMayRemoveItselfFromWithinItsCall) {
  struct Ctx {
    AudioObjectID device;
    std::atomic<int> calls{0};
    std::atomic<OSStatus> status{-1};
  } ctx{loopback};
  static const AudioObjectPropertyAddress a{fourCC("test"), kAudioObjectPropertyScopeGlobal, 0};
  struct P {
    static OSStatus proc(AudioObjectID id, uint32_t, const AudioObjectPropertyAddress*, void* p) {
      auto* c = static_cast<Ctx*>(p);
      ++c->calls;
      c->status = AudioObjectRemovePropertyListener(id, &a, &P::proc, p);
      return noErr;
    }
  };
  ASSERT_EQ(AudioObjectAddPropertyListener(loopback, &a, P::proc, &ctx), noErr);
  provider->notify(loopback, a);
  provider->notify(loopback, a);
  provider->flushNotifications();
  EXPECT_EQ(ctx.calls.load(), 1);
  EXPECT_EQ(ctx.status.load(), noErr);
}

// A listener that waits for the thread which is removing it would wait
// forever; the removal pump lets that thread serve the listener meanwhile.
std::atomic<int> pumped{0};
void pump() { ++pumped; }

TEST_F(Listeners, RemovalPumpsWhileItWaits) {
  AudioSetRemovalWaitPump(pump);
  pumped = 0;
  struct Ctx {
    std::atomic<bool> inside{false};
  } ctx;
  auto proc = [](AudioObjectID, uint32_t, const AudioObjectPropertyAddress*, void* p) -> OSStatus {
    static_cast<Ctx*>(p)->inside = true;
    // Stands for a wait on the main thread: done once the remover has pumped.
    while (pumped.load() < 3) std::this_thread::sleep_for(1ms);
    return noErr;
  };
  const AudioObjectPropertyAddress a{fourCC("test"), kAudioObjectPropertyScopeGlobal, 0};
  ASSERT_EQ(AudioObjectAddPropertyListener(loopback, &a, proc, &ctx), noErr);
  provider->notify(loopback, a);
  while (!ctx.inside) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(AudioObjectRemovePropertyListener(loopback, &a, proc, &ctx), noErr);
  EXPECT_GE(pumped.load(), 3);
  AudioSetRemovalWaitPump(nullptr);
}

}  // namespace
