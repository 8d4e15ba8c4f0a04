// The sound-file layer: what a written file holds when read back, positions
// in file frames with and without rate conversion, buffer limits, refusals,
// and files that are damaged or not sound at all.

#include "platform/audio/ExtAudioFile.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <numbers>
#include <vector>

#include "support/TempFolder.h"
#include "support/ToneMeasure.h"
#include "support/WaveFile.h"

namespace pa = platform::audio;

namespace {

constexpr double kRate = 44100.0;

// A reading or writing file, disposed at the end of the scope.
struct File {
  pa::ExtAudioFileRef ref = nullptr;
  ~File() { dispose(); }
  pa::OSStatus dispose() {
    const pa::OSStatus status = ref ? pa::ExtAudioFileDispose(ref) : pa::noErr;
    ref = nullptr;
    return status;
  }
  pa::AudioStreamBasicDescription format(pa::ExtAudioFilePropertyID id = pa::kExtAudioFileProperty_FileDataFormat) {
    pa::AudioStreamBasicDescription f{};
    uint32_t size = sizeof f;
    EXPECT_EQ(pa::ExtAudioFileGetProperty(ref, id, &size, &f), pa::noErr);
    return f;
  }
  int64_t length() {
    int64_t frames = -1;
    uint32_t size = sizeof frames;
    EXPECT_EQ(pa::ExtAudioFileGetProperty(ref, pa::kExtAudioFileProperty_FileLengthFrames, &size, &frames), pa::noErr);
    return frames;
  }
  int64_t tell() {
    int64_t frame = -1;
    EXPECT_EQ(pa::ExtAudioFileTell(ref, &frame), pa::noErr);
    return frame;
  }
  pa::OSStatus setClientRate(double rate) {
    const pa::AudioStreamBasicDescription client = pa::floatFormat(rate, format().mChannelsPerFrame);
    return pa::ExtAudioFileSetProperty(ref, pa::kExtAudioFileProperty_ClientDataFormat, sizeof client, &client);
  }
};

pa::AudioBufferList listOf(std::vector<std::vector<float>>& channels, size_t offset, uint32_t frames) {
  pa::AudioBufferList list{};
  list.mNumberBuffers = uint32_t(channels.size());
  for (size_t c = 0; c < channels.size(); ++c) list.mBuffers[c] = {1, frames * 4, channels[c].data() + offset};
  return list;
}

// Writes the channels whole, in blocks of `block` frames.
void writeAll(File& file, std::vector<std::vector<float>> channels, uint32_t block = 1000) {
  const size_t n = channels[0].size();
  for (size_t done = 0; done < n; done += block) {
    const uint32_t frames = uint32_t(std::min<size_t>(block, n - done));
    pa::AudioBufferList list = listOf(channels, done, frames);
    ASSERT_EQ(pa::ExtAudioFileWrite(file.ref, frames, &list), pa::noErr);
  }
}

// Reads up to `frames` frames of c channels; fewer at the end of the file.
std::vector<std::vector<float>> readFrames(File& file, uint32_t c, uint32_t frames) {
  std::vector<std::vector<float>> out(c, std::vector<float>(frames));
  uint32_t done = 0;
  while (done < frames) {
    pa::AudioBufferList list = listOf(out, done, frames - done);
    uint32_t got = frames - done;
    EXPECT_EQ(pa::ExtAudioFileRead(file.ref, &got, &list), pa::noErr);
    if (got == 0) break;
    done += got;
  }
  for (auto& channel : out) channel.resize(done);
  return out;
}

// 16-bit linear PCM, little-endian unless told otherwise; stereo AAC-LC.
pa::AudioStreamBasicDescription pcm16(double rate, uint32_t channels, pa::AudioFormatFlags endian = 0) {
  const pa::AudioFormatFlags flags = pa::kAudioFormatFlagIsSignedInteger | pa::kAudioFormatFlagIsPacked | endian;
  return {rate, pa::kAudioFormatLinearPCM, flags, 2 * channels, 1, 2 * channels, channels, 16, 0};
}
pa::AudioStreamBasicDescription aac(double rate) {
  return {rate, pa::kAudioFormatMPEG4AAC, pa::kMPEG4Object_AAC_LC, 0, 1024, 0, 2, 0, 0};
}

class ExtAudioFileTest : public ::testing::Test {
 protected:
  // One second: 1 kHz at half scale in channel 0, 1.5 kHz at a quarter in channel 1.
  std::vector<std::vector<float>> tone = {tonetest::sine(44100, kRate, 1000.0, 0.5),
                                          tonetest::sine(44100, kRate, 1500.0, 0.25)};

  std::string create(const std::string& name, pa::AudioFileTypeID type, const pa::AudioStreamBasicDescription& f) {
    File file;
    const std::string path = folder.file(name);
    EXPECT_EQ(pa::ExtAudioFileCreateWithURL(path.c_str(), type, &f, nullptr, pa::kAudioFileFlags_EraseFile, &file.ref),
              pa::noErr);
    writeAll(file, tone);
    EXPECT_EQ(file.dispose(), pa::noErr);
    return path;
  }
  std::string wave() { return create("tone.wav", pa::kAudioFileWAVEType, pcm16(kRate, 2)); }

  testsupport::TempFolder folder;
};

TEST_F(ExtAudioFileTest, SixteenBitWaveKeepsTheToneAndAddsOnlyQuantisationNoise) {
  File file;
  ASSERT_EQ(pa::ExtAudioFileOpenURL(wave().c_str(), &file.ref), pa::noErr);
  const pa::AudioStreamBasicDescription f = file.format();
  EXPECT_EQ(f.mFormatID, pa::kAudioFormatLinearPCM);
  EXPECT_EQ(f.mFormatFlags, 0x0Cu);
  EXPECT_EQ(f.mBitsPerChannel, 16u);
  EXPECT_EQ(f.mChannelsPerFrame, 2u);
  EXPECT_EQ(f.mSampleRate, kRate);
  EXPECT_EQ(file.length(), 44100);
  const auto back = readFrames(file, 2, 50000);
  ASSERT_EQ(back[0].size(), 44100u);
  const tonetest::Tone left = tonetest::measure(back[0], kRate, 1000.0);
  const tonetest::Tone right = tonetest::measure(back[1], kRate, 1500.0);
  EXPECT_NEAR(left.levelDb(), 20 * std::log10(0.5), 0.001);
  EXPECT_NEAR(right.levelDb(), 20 * std::log10(0.25), 0.001);
  EXPECT_NEAR(left.frequency, 1000.0, 1e-4);
  EXPECT_NEAR(right.frequency, 1500.0, 1e-4);
  // Rounding to steps of 2^-15 leaves 2^-15/sqrt(12) RMS, -101.1 dB, and no
  // offset (which rounding down would add at -96 dB).
  EXPECT_NEAR(left.residualDb(), -101.1, 1.0);

  // Beyond full scale, samples clip instead of wrapping round.
  File loud;
  const std::string path = folder.file("loud.wav");
  const pa::AudioStreamBasicDescription mono = pcm16(kRate, 1);
  ASSERT_EQ(pa::ExtAudioFileCreateWithURL(path.c_str(), pa::kAudioFileWAVEType, &mono, nullptr, 0, &loud.ref),
            pa::noErr);
  writeAll(loud, {{1.5f, -1.5f, 0.25f}});
  ASSERT_EQ(loud.dispose(), pa::noErr);
  ASSERT_EQ(pa::ExtAudioFileOpenURL(path.c_str(), &loud.ref), pa::noErr);
  const auto clipped = readFrames(loud, 1, 3);
  EXPECT_NEAR(clipped[0][0], 1.0f, 1e-4);
  EXPECT_NEAR(clipped[0][1], -1.0f, 1e-4);
  EXPECT_NEAR(clipped[0][2], 0.25f, 1e-4);
}

TEST_F(ExtAudioFileTest, ReadsStopAtTheSmallestBufferAndNeedOneBufferPerChannel) {
  File file;
  ASSERT_EQ(pa::ExtAudioFileOpenURL(wave().c_str(), &file.ref), pa::noErr);
  std::vector<std::vector<float>> out(2, std::vector<float>(1000, 7.0f));
  pa::AudioBufferList list = listOf(out, 0, 1000);
  list.mBuffers[1].mDataByteSize = 100 * 4;
  uint32_t frames = 1000;
  ASSERT_EQ(pa::ExtAudioFileRead(file.ref, &frames, &list), pa::noErr);
  EXPECT_EQ(frames, 100u);
  EXPECT_EQ(list.mBuffers[0].mDataByteSize, 400u);
  EXPECT_EQ(out[0][100], 7.0f);
  EXPECT_EQ(file.tell(), 100);

  list.mNumberBuffers = 1;
  frames = 10;
  EXPECT_EQ(pa::ExtAudioFileRead(file.ref, &frames, &list), pa::kAudio_ParamError);
  EXPECT_EQ(frames, 0u);
}

TEST_F(ExtAudioFileTest, PositionsCountFileFramesAtAnyClientRate) {
  File file;
  ASSERT_EQ(pa::ExtAudioFileOpenURL(wave().c_str(), &file.ref), pa::noErr);
  ASSERT_EQ(pa::ExtAudioFileSeek(file.ref, 22050), pa::noErr);
  EXPECT_NEAR(readFrames(file, 2, 10)[0][3], tone[0][22053], 1e-4);
  EXPECT_EQ(file.tell(), 22060);
  EXPECT_EQ(pa::ExtAudioFileSeek(file.ref, -1), pa::kExtAudioFileError_InvalidSeek);

  ASSERT_EQ(file.setClientRate(48000.0), pa::noErr);
  pa::AudioConverterRef converter = nullptr;
  uint32_t size = sizeof converter;
  ASSERT_EQ(pa::ExtAudioFileGetProperty(file.ref, pa::kExtAudioFileProperty_AudioConverter, &size, &converter),
            pa::noErr);
  EXPECT_NE(converter, nullptr);
  EXPECT_EQ(file.tell(), 22060);
  ASSERT_EQ(pa::ExtAudioFileSeek(file.ref, 11025), pa::noErr);
  const auto back = readFrames(file, 2, 4800);
  EXPECT_NEAR(double(file.tell()), 11025 + 4410, 1.0);
  // Converted samples lie on the file's own time line: after the
  // converter's start, sample i is the tone at 11025/44100 s + i/48000 s.
  double worst = 0;
  for (size_t i = 1000; i < back[0].size(); ++i) {
    const double expected = 0.5 * std::sin(2 * std::numbers::pi * 1000.0 * (0.25 + double(i) / 48000.0));
    worst = std::max(worst, std::fabs(back[0][i] - expected));
  }
  EXPECT_LT(worst, 1e-3);
}

TEST_F(ExtAudioFileTest, WritingAtAnotherClientRateConvertsIntoTheFileRate) {
  File file;
  const std::string path = folder.file("converted.aif");
  const pa::AudioStreamBasicDescription f = pcm16(kRate, 1, pa::kAudioFormatFlagIsBigEndian);
  ASSERT_EQ(pa::ExtAudioFileCreateWithURL(path.c_str(), pa::kAudioFileAIFFType, &f, nullptr, 0, &file.ref), pa::noErr);
  ASSERT_EQ(file.setClientRate(48000.0), pa::noErr);
  writeAll(file, {tonetest::sine(48000, 48000.0, 1000.0, 0.5)}, 777);
  ASSERT_EQ(file.dispose(), pa::noErr);

  ASSERT_EQ(pa::ExtAudioFileOpenURL(path.c_str(), &file.ref), pa::noErr);
  EXPECT_EQ(file.format().mFormatFlags, 0x0Eu);
  EXPECT_NEAR(double(file.length()), 44100.0, 2.0);
  const auto back = readFrames(file, 1, 44100);
  const tonetest::Tone t = tonetest::measure(back[0].data() + 2000, 40000, kRate, 1000.0);
  EXPECT_NEAR(t.levelDb(), 20 * std::log10(0.5), 0.05);
  EXPECT_NEAR(t.frequency, 1000.0, 1e-3);
}

TEST_F(ExtAudioFileTest, AacFilesSeekToTheFrameAskedFor) {
  File file;
  ASSERT_EQ(pa::ExtAudioFileOpenURL(create("tone.m4a", pa::kAudioFileM4AType, aac(kRate)).c_str(), &file.ref),
            pa::noErr);
  const pa::AudioStreamBasicDescription f = file.format();
  EXPECT_EQ(f.mFormatID, pa::kAudioFormatMPEG4AAC);
  EXPECT_EQ(f.mFormatFlags, pa::kMPEG4Object_AAC_LC);
  EXPECT_EQ(f.mChannelsPerFrame, 2u);
  EXPECT_EQ(f.mFramesPerPacket, 1024u);
  EXPECT_EQ(file.length(), 44100);
  const auto whole = readFrames(file, 2, 50000);
  ASSERT_EQ(whole[0].size(), 44100u);
  // The tone, to AAC's accuracy, and on the file's time line.
  double error = 0;
  for (size_t i = 0; i < whole[0].size(); ++i) error += std::pow(whole[0][i] - tone[0][i], 2);
  EXPECT_LT(10 * std::log10(error / 44100.0), -35.0);
  // From the first frame or inside a packet, the decoder's state is rebuilt
  // before the frame asked for: the samples read straight through, but for
  // the bands the encoder filled with noise (random at each decoding, some
  // 80 dB down).
  for (int64_t frame : {0, 1, 22222}) {
    ASSERT_EQ(pa::ExtAudioFileSeek(file.ref, frame), pa::noErr);
    EXPECT_EQ(file.tell(), frame);
    const auto back = readFrames(file, 2, 2048);
    for (size_t i = 0; i < back[0].size(); i += 13) ASSERT_NEAR(back[0][i], whole[0][size_t(frame) + i], 1e-3) << frame;
  }
}

TEST_F(ExtAudioFileTest, RefusedRequestsLeaveNothingBehind) {
  File file;
  const std::string path = folder.file("refused.m4a");
  pa::AudioStreamBasicDescription odd = aac(12345.0);
  EXPECT_EQ(pa::ExtAudioFileCreateWithURL(path.c_str(), pa::kAudioFileM4AType, &odd, nullptr, 0, &file.ref),
            pa::kAudioFileUnsupportedDataFormatError);
  EXPECT_FALSE(std::filesystem::exists(path));
  const pa::AudioStreamBasicDescription f = pcm16(kRate, 2);
  EXPECT_EQ(pa::ExtAudioFileCreateWithURL(path.c_str(), pa::fourCC("XYZW"), &f, nullptr, 0, &file.ref),
            pa::kAudioFileUnsupportedFileTypeError);
  const std::string existing = folder.write("existing.wav", "keep");
  EXPECT_EQ(pa::ExtAudioFileCreateWithURL(existing.c_str(), pa::kAudioFileWAVEType, &f, nullptr, 0, &file.ref),
            pa::kAudioFilePermissionsError);
  EXPECT_EQ(testsupport::TempFolder::read(existing), "keep");
  EXPECT_EQ(file.ref, nullptr);

  ASSERT_EQ(pa::ExtAudioFileOpenURL(wave().c_str(), &file.ref), pa::noErr);
  pa::AudioStreamBasicDescription mono = pa::floatFormat(kRate, 1);
  EXPECT_EQ(pa::ExtAudioFileSetProperty(file.ref, pa::kExtAudioFileProperty_ClientDataFormat, sizeof mono, &mono),
            pa::kExtAudioFileError_InvalidDataFormat);
  pa::AudioStreamBasicDescription compressed = aac(kRate);
  EXPECT_EQ(pa::ExtAudioFileSetProperty(file.ref, pa::kExtAudioFileProperty_ClientDataFormat, sizeof compressed,
                                        &compressed),
            pa::kExtAudioFileError_NonPCMClientFormat);
  EXPECT_EQ(file.format(pa::kExtAudioFileProperty_ClientDataFormat).mChannelsPerFrame, 2u);
}

TEST_F(ExtAudioFileTest, DamagedAndForeignFilesGiveAStatusNeverACrash) {
  const std::string wav = testsupport::TempFolder::read(wave());
  const std::string m4a = testsupport::TempFolder::read(create("tone.m4a", pa::kAudioFileM4AType, aac(kRate)));
  std::string scrambled = m4a;
  for (size_t i = scrambled.size() / 4; i < scrambled.size() / 2; i += 7) scrambled[i] = char(i * 31);
  std::string noise(20000, '\0');
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = char((i * 2654435761u) >> 13);

  struct Case {
    const char* name;
    std::string bytes;
    bool opens;
  };
  const Case cases[] = {
      {"empty.wav", "", false},
      {"text.wav", "These are not the samples you are looking for.\n", false},
      {"noise.m4a", noise, false},
      {"header.wav", wav.substr(0, 30), false},
      {"half.wav", wav.substr(0, wav.size() / 2), true},
      {"half.m4a", m4a.substr(0, m4a.size() / 2), false},
      {"scrambled.m4a", scrambled, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    File file;
    const pa::OSStatus status = pa::ExtAudioFileOpenURL(folder.write(c.name, c.bytes).c_str(), &file.ref);
    EXPECT_EQ(status == pa::noErr, c.opens);
    if (status != pa::noErr) {
      EXPECT_EQ(file.ref, nullptr);
      continue;
    }
    // Whatever decodes comes out, then the end: never more than was written.
    std::vector<std::vector<float>> out(file.format().mChannelsPerFrame, std::vector<float>(4096));
    uint32_t total = 0;
    for (int reads = 0; reads < 100; ++reads) {
      pa::AudioBufferList list = listOf(out, 0, 4096);
      uint32_t frames = 4096;
      const pa::OSStatus read = pa::ExtAudioFileRead(file.ref, &frames, &list);
      total += frames;
      if (frames == 0 || read != pa::noErr) break;
    }
    EXPECT_LE(total, 44100u + 1024u);
  }
  File missing;
  EXPECT_EQ(pa::ExtAudioFileOpenURL(folder.file("missing.wav").c_str(), &missing.ref), pa::kAudioFileFileNotFoundError);
}

TEST_F(ExtAudioFileTest, ChannelCountsAndRatesBeyondTheLayersAreRefusedAndStillStated) {
  struct Case {
    uint32_t rate, channels;
    pa::OSStatus status;
  };
  const Case cases[] = {
      {48000, 64, pa::noErr},
      {48000, 65, pa::kAudioFileUnsupportedChannelCountError},
      {48000, 256, pa::kAudioFileUnsupportedChannelCountError},
      {10000000, 1, pa::noErr},
      {10000001, 2, pa::kAudioFileUnsupportedSampleRateError},
      {2147483647, 1, pa::kAudioFileUnsupportedSampleRateError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " channels");
    const std::string path = folder.write("stated.wav", testsupport::waveBytes(c.rate, c.channels, 100));
    File file;
    EXPECT_EQ(pa::ExtAudioFileOpenURL(path.c_str(), &file.ref), c.status);
    EXPECT_EQ(file.ref == nullptr, c.status != pa::noErr);
    pa::AudioStreamBasicDescription stated{};
    ASSERT_EQ(pa::ExtAudioFileGetStatedFormat(path.c_str(), &stated), pa::noErr);
    EXPECT_EQ(stated.mSampleRate, c.rate);
    EXPECT_EQ(stated.mChannelsPerFrame, c.channels);
  }
  pa::AudioStreamBasicDescription none{};
  EXPECT_EQ(pa::ExtAudioFileGetStatedFormat(folder.write("text.wav", "no sound").c_str(), &none),
            pa::kAudioFileUnsupportedFileTypeError);
  EXPECT_EQ(none.mChannelsPerFrame, 0u);
}

TEST_F(ExtAudioFileTest, ACafDataChunkOfSizeMinusOneRunsToTheEndOfTheFile) {
  const std::string sized = folder.write("sized.caf", testsupport::cafBytes(kRate, 1000));
  // An odd byte at the end is no whole frame.
  const std::string open = folder.write("open.caf", testsupport::cafBytes(kRate, 1000, -1) + "x");
  File reference, file;
  ASSERT_EQ(pa::ExtAudioFileOpenURL(sized.c_str(), &reference.ref), pa::noErr);
  ASSERT_EQ(pa::ExtAudioFileOpenURL(open.c_str(), &file.ref), pa::noErr);
  EXPECT_EQ(file.length(), 1000);
  EXPECT_EQ(file.format().mSampleRate, kRate);
  const auto expected = readFrames(reference, 1, 2000);
  const auto frames = readFrames(file, 1, 2000);
  ASSERT_EQ(expected[0].size(), 1000u);
  EXPECT_EQ(frames, expected);
  // Seeking reads the patched file as well.
  ASSERT_EQ(pa::ExtAudioFileSeek(file.ref, 998), pa::noErr);
  const auto last = readFrames(file, 1, 10);
  ASSERT_EQ(last[0].size(), 2u);
  EXPECT_EQ(last[0][0], expected[0][998]);
  // A -1 size on a chunk other than the data is damage, as before.
  std::string bytes = testsupport::cafBytes(kRate, 1000);
  bytes.replace(16, 8, std::string(8, '\xff'));  // the description's size
  File damaged;
  EXPECT_NE(pa::ExtAudioFileOpenURL(folder.write("damaged.caf", bytes).c_str(), &damaged.ref), pa::noErr);
}

TEST_F(ExtAudioFileTest, Mp3FilesReadGaplessAtTheirStatedLengthAndSeekToTheFrame) {
  // Two seconds of 1 kHz at half scale, through libsndfile's LAME encoder.
  const std::string path = folder.file("tone.mp3");
  SF_INFO info{};
  info.samplerate = int(kRate);
  info.channels = 1;
  info.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
  SNDFILE* encoder = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(encoder, nullptr) << sf_strerror(nullptr);
  const std::vector<float> written = tonetest::sine(2 * 44100, kRate, 1000.0, 0.5);
  ASSERT_EQ(sf_writef_float(encoder, written.data(), sf_count_t(written.size())), sf_count_t(written.size()));
  sf_close(encoder);

  File file;
  ASSERT_EQ(pa::ExtAudioFileOpenURL(path.c_str(), &file.ref), pa::noErr);
  EXPECT_EQ(file.format().mFormatID, pa::kAudioFormatMPEGLayer3);
  EXPECT_EQ(file.format().mSampleRate, kRate);
  // The encoder's delay and padding are no part of the stream.
  EXPECT_EQ(file.length(), int64_t(written.size()));
  const auto whole = readFrames(file, 1, 3 * 44100);
  ASSERT_EQ(whole[0].size(), written.size());
  const tonetest::Tone tone = tonetest::measure(whole[0].data() + 4410, 44100, kRate, 1000.0);
  EXPECT_NEAR(tone.frequency, 1000.0, 0.01);
  EXPECT_NEAR(tone.amplitude, 0.5, 0.01);
  // No lag: the decoded sine is in phase with the one written.
  EXPECT_NEAR(whole[0][4410 + 11], written[4410 + 11], 0.02);
  // Seeks land on the very samples a read from the start gives, also where
  // the encoder's bit reservoir reaches several frames back.
  for (const int64_t frame : {int64_t(0), int64_t(1000), int64_t(5000), int64_t(44100), int64_t(88199)}) {
    SCOPED_TRACE(frame);
    ASSERT_EQ(pa::ExtAudioFileSeek(file.ref, frame), pa::noErr);
    EXPECT_EQ(file.tell(), frame);
    const auto back = readFrames(file, 1, 64);
    ASSERT_EQ(back[0].size(), std::min<size_t>(64, written.size() - size_t(frame)));
    for (size_t i = 0; i < back[0].size(); ++i) ASSERT_NEAR(back[0][i], whole[0][size_t(frame) + i], 1e-4) << i;
  }
}

TEST_F(ExtAudioFileTest, WhatIsNotARegularFileIsRefusedWithoutWaiting) {
  const std::string pipe = folder.file("pipe.wav");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  // A pipe without a writer would hold an open that waits for one: the
  // alarm ends the test rather than let it hang.
  ::alarm(30);
  for (const std::string& path : {pipe, std::string("/dev/zero"), folder.file(".")}) {
    SCOPED_TRACE(path);
    File file;
    EXPECT_EQ(pa::ExtAudioFileOpenURL(path.c_str(), &file.ref), pa::kAudioFileInvalidFileError);
    EXPECT_EQ(file.ref, nullptr);
  }
  ::alarm(0);
}

}  // namespace
