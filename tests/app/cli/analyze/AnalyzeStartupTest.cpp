// What the command loads: FFmpeg's libraries (most of what the program would
// load at every start) only once an MPEG-4 file is opened, read from the
// dynamic linker's own account of the files it opens.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/SpecanRun.h"
#include "platform/audio/ExtAudioFile.h"
#include "support/TempFolder.h"
#include "support/WaveFile.h"

namespace {

namespace pa = platform::audio;

constexpr double kRate = 48000;

std::vector<float> tone() {
  std::vector<float> sine(static_cast<std::size_t>(kRate));
  for (std::size_t n = 0; n < sine.size(); ++n) sine[n] = float(0.5 * std::sin(2 * M_PI * 1000 * double(n) / kRate));
  return sine;
}

// One second of the tone as AAC in an .m4a, written through FFmpeg's module.
void writeM4a(const std::string& path) {
  const pa::AudioStreamBasicDescription aac{kRate, pa::kAudioFormatMPEG4AAC, pa::kMPEG4Object_AAC_LC, 0, 1024, 0, 1,
                                            0, 0};
  pa::ExtAudioFileRef file = nullptr;
  ASSERT_EQ(pa::ExtAudioFileCreateWithURL(path.c_str(), pa::kAudioFileM4AType, &aac, nullptr,
                                          pa::kAudioFileFlags_EraseFile, &file),
            pa::noErr);
  const pa::AudioStreamBasicDescription client = pa::floatFormat(kRate, 1);
  ASSERT_EQ(pa::ExtAudioFileSetProperty(file, pa::kExtAudioFileProperty_ClientDataFormat, sizeof client, &client),
            pa::noErr);
  std::vector<float> samples = tone();
  pa::AudioBufferList buffers{};
  buffers.mNumberBuffers = 1;
  buffers.mBuffers[0] = {1, static_cast<uint32_t>(samples.size() * sizeof(float)), samples.data()};
  ASSERT_EQ(pa::ExtAudioFileWrite(file, static_cast<uint32_t>(samples.size()), &buffers), pa::noErr);
  ASSERT_EQ(pa::ExtAudioFileDispose(file), pa::noErr);
}

// specan analyze FILE with the dynamic linker telling which files it opens.
Result analyseTracingLibraries(const std::string& file, const testsupport::TempFolder& folder) {
  ::setenv("LD_DEBUG", "files", 1);
  Result run = specan({"analyze", file}, folder.file("config"), folder);
  ::unsetenv("LD_DEBUG");
  return run;
}

TEST(AnalyzeStartup, FFmpegIsLoadedForAnMpeg4FileOnly) {
  testsupport::TempFolder folder;
  const std::string wav = folder.file("tone.wav"), m4a = folder.file("tone.m4a");
  testsupport::writeWave(wav, {tone()}, kRate);
  writeM4a(m4a);

  const Result plain = analyseTracingLibraries(wav, folder);
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_NE(plain.out.find("peak 1000"), std::string::npos) << plain.out;
  EXPECT_NE(plain.err.find("libsndfile"), std::string::npos) << "the trace shows the libraries opened";
  EXPECT_EQ(plain.err.find("libavformat"), std::string::npos) << "a WAV needs no FFmpeg";
  EXPECT_EQ(plain.err.find("specan-libav"), std::string::npos);

  const Result mpeg4 = analyseTracingLibraries(m4a, folder);
  ASSERT_EQ(mpeg4.status, 0) << mpeg4.err.substr(0, 2000);
  // AAC reads the tone a few millihertz off.
  EXPECT_TRUE(mpeg4.out.find("peak 1000.00") != std::string::npos || mpeg4.out.find("peak 999.99") != std::string::npos)
      << mpeg4.out;
  EXPECT_NE(mpeg4.err.find("specan-libav"), std::string::npos);
  EXPECT_NE(mpeg4.err.find("libavformat"), std::string::npos);
}

}  // namespace
