// The sound file: each type written and read back, the file types and their
// panels, channel routing, positions, resampling, calls of any length, and
// what a failed open leaves.

#include "audio/AFSoundfile.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "audio/AFManager.h"
#include "support/TempFolder.h"
#include "support/ToneMeasure.h"
#include "ui/Panels.h"

namespace pa = platform::audio;

namespace {

constexpr float kRate = 44100.0f;

// Panels answering with the paths queued (none: cancelled) and keeping the
// names and filters they were shown.
struct ScriptedPanels final : ui::Panels {
  std::deque<std::optional<std::string>> answers;
  std::vector<std::string> proposed, filters;
  std::optional<std::string> next(const std::string& name, const std::string& filter) {
    proposed.push_back(name);
    filters.push_back(filter);
    if (answers.empty()) return std::nullopt;
    std::optional<std::string> answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::optional<std::string> runSavePanel(const std::string&, const std::string& name,
                                          const std::string& filter) override {
    return next(name, filter);
  }
  std::optional<std::string> runOpenPanel(const std::string&, const std::string& name,
                                          const std::string& filter) override {
    return next(name, filter);
  }
  void showAlert(const std::string&, const std::string&) override {}
};

using Channels = std::vector<std::vector<float>>;

std::vector<float*> pointers(Channels& channels, size_t offset = 0) {
  std::vector<float*> p;
  for (auto& c : channels) p.push_back(c.data() + offset);
  return p;
}

class SoundfileTest : public ::testing::Test {
 protected:
  SoundfileTest() { ui::Panels::install(&panels); }
  ~SoundfileTest() override { ui::Panels::install(nullptr); }

  // One second: 1 kHz at half scale in channel 0, 1.5 kHz at a quarter in channel 1.
  Channels tone = {tonetest::sine(44100, kRate, 1000.0, 0.5), tonetest::sine(44100, kRate, 1500.0, 0.25)};

  // A stereo file of the tone, written in blocks of `block` frames.
  std::string write(const std::string& name, uint32_t type, int32_t block = 1000, int32_t mask = 0) {
    const std::string path = folder.file(name);
    auto file = AFSoundfile::initAsOutput();
    file->setChannelMask(mask);
    EXPECT_EQ(file->createURLTypeSamplingRateChannelsOverWrite(path, type, kRate, 2, true), 0);
    for (int32_t done = 0; done < 44100; done += block) {
      std::vector<float*> p = pointers(tone, size_t(done));
      EXPECT_EQ(file->putBuffers(p.data(), 2, std::min(block, 44100 - done)), 0);
    }
    EXPECT_NEAR(file->elapsed(), 1.0f, 1e-6f);
    EXPECT_EQ(file->duration(), file->elapsed());
    return path;
  }

  std::unique_ptr<AFSoundfile> reader(const std::string& path, int32_t mask = 0) {
    auto file = AFSoundfile::initAsInput();
    file->setChannelMask(mask);
    EXPECT_EQ(file->openURL(path), 0);
    return file;
  }

  // n buffers of s samples, read in one call; every sample starts at 7.
  static Channels read(AFSoundfile& file, int32_t n, int32_t s, int32_t* status = nullptr) {
    Channels out(size_t(n), std::vector<float>(size_t(s), 7.0f));
    std::vector<float*> p = pointers(out);
    const int32_t result = file.getBuffers(p.data(), n, s);
    if (status) *status = result;
    else EXPECT_EQ(result, 0);
    return out;
  }

  ScriptedPanels panels;
  testsupport::TempFolder folder;
};

struct TypeCase {
  uint32_t type;
  const char* name;
  uint32_t formatFlags;
  double levelTolerance, frequencyTolerance;  // dB, Hz
};

class SoundfileTypes : public SoundfileTest, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(SoundfileTypes, WrittenToneReadsBackAtItsLevelAndFrequency) {
  const TypeCase& t = GetParam();
  auto file = reader(write(std::string("tone.") + AFSoundfile::extensionForType(t.type), t.type));
  EXPECT_EQ(file->fileDescriptor().mFormatFlags, t.formatFlags);
  EXPECT_EQ(file->samplingRate(), kRate);
  EXPECT_EQ(file->channels(), 2);
  EXPECT_FLOAT_EQ(file->duration(), 1.0f);
  const Channels back = read(*file, 2, 44100);
  // AAC's edges (the encoder's first and last packets) are left out.
  const tonetest::Tone left = tonetest::measure(back[0].data() + 2048, 40000, kRate, 1000.0);
  const tonetest::Tone right = tonetest::measure(back[1].data() + 2048, 40000, kRate, 1500.0);
  EXPECT_NEAR(left.levelDb(), 20 * std::log10(0.5), t.levelTolerance);
  EXPECT_NEAR(right.levelDb(), 20 * std::log10(0.25), t.levelTolerance);
  EXPECT_NEAR(left.frequency, 1000.0, t.frequencyTolerance);
  EXPECT_NEAR(right.frequency, 1500.0, t.frequencyTolerance);
}

INSTANTIATE_TEST_SUITE_P(EveryType, SoundfileTypes,
                         ::testing::Values(TypeCase{AFSoundfile::kTypeAIFF, "AIFF", 0x0E, 0.001, 1e-4},
                                           TypeCase{AFSoundfile::kTypeWAVE, "WAVE", 0x0C, 0.001, 1e-4},
                                           TypeCase{AFSoundfile::kTypeCAF, "CAF", 0x0E, 0.001, 1e-4},
                                           TypeCase{AFSoundfile::kTypeM4A, "M4A", pa::kMPEG4Object_AAC_LC, 0.2, 0.01}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SoundfileTest, PanelsProposeSoundfileWithTheTypesExtension) {
  auto file = AFSoundfile::initAsOutput();
  EXPECT_EQ(file->savePanelWithFileType(AFSoundfile::kTypeWAVE), std::nullopt);
  EXPECT_EQ(file->savePanelWithFileType(pa::fourCC("XYZW")), std::nullopt);
  EXPECT_EQ(panels.proposed, (std::vector<std::string>{"soundfile.wav", "soundfile.audio"}));
  EXPECT_EQ(file->createWithFileTypeSamplingRateChannels(pa::fourCC("XYZW"), kRate, 2),
            AFSoundfile::kErrorUnsupportedType);
  EXPECT_EQ(file->createWAVWithSamplingRate(kRate), AFSoundfile::kErrorPanelCancelled);
  EXPECT_EQ(file->open(), AFSoundfile::kErrorReadOnWritingFile);
  EXPECT_EQ(panels.proposed.size(), 3u);  // neither -404 nor -400 shows a panel

  // A CAF file is 44100 Hz stereo whatever rate is asked for.
  panels.answers = {folder.file("chosen.caf")};
  ASSERT_EQ(file->createCAFWithSamplingRate(48000.0f), 0);
  EXPECT_EQ(panels.proposed.back(), "soundfile.caf");
  file->close();
  auto back = reader(folder.file("chosen.caf"));
  EXPECT_EQ(back->samplingRate(), 44100.0f);
  EXPECT_EQ(back->channels(), 2);
  EXPECT_EQ(back->fileDescriptor().mBitsPerChannel, 16u);

  float* none = nullptr;
  EXPECT_EQ(back->putBuffers(&none, 0, 0), AFSoundfile::kErrorWriteOnReadingFile);
  EXPECT_EQ(file->getBuffers(&none, 0, 0), AFSoundfile::kErrorReadOnWritingFile);
  EXPECT_EQ(back->open(), AFSoundfile::kErrorPanelCancelled);
  panels.answers = {std::string()};
  EXPECT_EQ(back->open(), AFSoundfile::kErrorNoLocation);
  EXPECT_NE(panels.filters.back().find("*.m4a"), std::string::npos);
}

TEST_F(SoundfileTest, ManagerMakesAReaderOnlyForAnOpenedFile) {
  const std::string path = write("tone.wav", AFSoundfile::kTypeWAVE);
  AFManager manager;
  EXPECT_EQ(manager.newInputSoundfile(), nullptr);
  panels.answers = {path};
  const std::unique_ptr<AFSoundfile> file = manager.newInputSoundfile();
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->url(), path);
}

TEST_F(SoundfileTest, ChannelsGoToTheBuffersTheMaskAndCountSay) {
  const std::string path = write("tone.wav", AFSoundfile::kTypeWAVE);
  auto all = reader(path);
  const Channels four = read(*all, 4, 1000);
  EXPECT_NEAR(four[0][100], tone[0][100], 1e-4);
  EXPECT_NEAR(four[1][100], tone[1][100], 1e-4);
  EXPECT_EQ(four[2], std::vector<float>(1000, 0.0f));
  EXPECT_EQ(four[3], std::vector<float>(1000, 0.0f));

  auto second = reader(path, 0b10);
  const Channels one = read(*second, 1, 1000);
  EXPECT_NEAR(one[0][100], tone[1][100], 1e-4);
}

TEST_F(SoundfileTest, DurationAndElapsedFollowTheFile) {
  auto file = AFSoundfile::initAsInput();
  EXPECT_EQ(file->duration(), 1.0f);
  EXPECT_EQ(file->elapsed(), 0.0f);
  EXPECT_EQ(file->samplingRate(), 0.0f);
  ASSERT_EQ(file->openURL(write("tone.aif", AFSoundfile::kTypeAIFF)), 0);
  read(*file, 2, 11025);
  EXPECT_FLOAT_EQ(file->elapsed(), 0.25f);
  file->cueTo(0.5f);
  EXPECT_FLOAT_EQ(file->elapsed(), 0.5f);
  EXPECT_NEAR(read(*file, 2, 10)[0][3], tone[0][22053], 1e-4);
  file->cueTo(-1.0f);  // outside the file: the position stays
  EXPECT_FLOAT_EQ(file->elapsed(), 0.50022676f);
  file->close();
  EXPECT_EQ(file->duration(), 1.0f);
  EXPECT_EQ(file->elapsed(), 0.0f);
}

TEST_F(SoundfileTest, ResamplingTo48kHzKeepsTheTonesLevel) {
  auto file = reader(write("tone.wav", AFSoundfile::kTypeWAVE));
  file->setResamplingQuality(4);
  file->setResamplingRate(48000.0f);
  EXPECT_EQ(file->clientSideDescriptor().mSampleRate, 48000.0);
  EXPECT_EQ(file->samplingRate(), kRate);
  const Channels back = read(*file, 2, 48000);
  // The converter's passband is flat to far better than 0.05 dB at 1 kHz.
  const tonetest::Tone t = tonetest::measure(back[0].data() + 2000, 44000, 48000.0, 1000.0);
  EXPECT_NEAR(t.levelDb(), 20 * std::log10(0.5), 0.05);
  EXPECT_NEAR(t.frequency, 1000.0, 1e-3);
  EXPECT_NEAR(file->elapsed(), 1.0f, 1e-4f);
}

TEST_F(SoundfileTest, CallsOfAnyLengthGoThroughInPieces) {
  // 5000 frames at a time, more than a buffer entry and the silence buffer
  // hold; channel 1 has no buffer when only channel 0 is mapped.
  const std::string path = write("long.wav", AFSoundfile::kTypeWAVE, 5000, 0b01);
  auto file = reader(path);
  const Channels back = read(*file, 2, 44100);
  for (size_t i = 0; i < back[0].size(); i += 97) EXPECT_NEAR(back[0][i], tone[0][i], 1e-4) << i;
  EXPECT_EQ(back[1], std::vector<float>(44100, 0.0f));
  // Past the end comes silence.
  EXPECT_EQ(read(*file, 2, 600)[0], std::vector<float>(600, 0.0f));

  // Reading, the unmapped channel 1 is discarded 5000 frames at a time.
  auto first = reader(path, 0b01);
  const Channels one = read(*first, 1, 5000);
  for (size_t i = 0; i < one[0].size(); i += 97) EXPECT_NEAR(one[0][i], tone[0][i], 1e-4) << i;
  EXPECT_FLOAT_EQ(first->elapsed(), 5000.0f / kRate);
}

TEST_F(SoundfileTest, FewerBuffersThanMappedChannelsAreRefused) {
  auto file = reader(write("tone.wav", AFSoundfile::kTypeWAVE));
  // Three buffers of which the caller hands over one: the others must stay untouched.
  Channels out(3, std::vector<float>(100, 7.0f));
  std::vector<float*> p = pointers(out);
  EXPECT_EQ(file->getBuffers(p.data(), 1, 100), pa::kAudio_ParamError);
  EXPECT_EQ(out[1], std::vector<float>(100, 7.0f));
  EXPECT_EQ(file->elapsed(), 0.0f);
}

TEST_F(SoundfileTest, AFailedOpenLeavesNothingOfThePreviousFile) {
  auto file = reader(write("tone.wav", AFSoundfile::kTypeWAVE), 0b10);
  ASSERT_EQ(file->numberOfMappedChannels(), 1);
  EXPECT_NE(file->openURL(folder.write("notes.txt", "not a sound file\n")), 0);
  EXPECT_EQ(file->url(), "");
  EXPECT_EQ(file->duration(), 1.0f);
  EXPECT_EQ(file->channels(), 0);
  EXPECT_EQ(file->numberOfMappedChannels(), 0);
  EXPECT_EQ(file->inverseChannelMap()[1], -1);
  int32_t status = 0;
  EXPECT_EQ(read(*file, 1, 100, &status)[0], std::vector<float>(100, 0.0f));
  EXPECT_NE(status, 0);
}

}  // namespace
