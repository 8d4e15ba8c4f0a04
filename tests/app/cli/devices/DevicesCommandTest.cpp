// `specan devices`: the device listing as text and as JSON, on the simulated
// provider and on the test command's PulseAudio server.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/cli/devices/DevicesCommand.h"

namespace {

struct Outcome {
  int status = 0;
  std::string out, err;
};

Outcome run(const std::vector<std::string>& args) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  Outcome r;
  r.status = runDevicesCommand(args, out, err);
  for (auto [file, text] : {std::pair{out, &r.out}, std::pair{err, &r.err}}) {
    std::rewind(file);
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) text->append(buf, n);
    std::fclose(file);
  }
  return r;
}

QJsonObject device(const QJsonArray& devices, const QString& name) {
  for (const QJsonValue& d : devices)
    if (d.toObject()["name"].toString() == name) return d.toObject();
  return {};
}

TEST(DevicesCommand, ListsTheSimulatedDevicesAsJsonAndAsText) {
  const Outcome json = run({"--audio=simulated", "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json.out), &error);
  ASSERT_EQ(error.error, QJsonParseError::NoError) << json.out;
  const QJsonObject root = doc.object();
  EXPECT_EQ(root["provider"].toString(), "Simulated");
  const QJsonObject signal = device(root["inputs"].toArray(), "Test Signal");
  ASSERT_FALSE(signal.isEmpty()) << json.out;
  EXPECT_TRUE(signal["default"].toBool());
  EXPECT_EQ(signal["channels"].toInt(), 2);
  EXPECT_TRUE(signal["samplingRates"].toArray().contains(48000));
  EXPECT_TRUE(signal["sources"].toArray().contains(QString("White Noise")));
  const QJsonObject loop = device(root["outputs"].toArray(), "Loopback");
  ASSERT_FALSE(loop.isEmpty());
  EXPECT_TRUE(loop["default"].toBool());
  EXPECT_EQ(device(root["outputs"].toArray(), "Multichannel")["channels"].toInt(), 8);
  EXPECT_FALSE(device(root["inputs"].toArray(), "Multichannel")["default"].toBool());

  const Outcome text = run({"--audio=simulated"});
  ASSERT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("Audio: Simulated\nInput devices:\n* Test Signal: 2 ch, "), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("sources: Sine, Two Tones, White Noise, Silence"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("Output devices:\n* Loopback: 2 ch"), std::string::npos) << text.out;

  const Outcome bad = run({"--jason"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_TRUE(bad.out.empty());
  EXPECT_NE(bad.err.find("unknown option '--jason'"), std::string::npos);
}

TEST(DevicesCommand, ListsTheNullSinksOfThePulseAudioServer) {
  const char* required = std::getenv("SPECAN_PULSE_REQUIRED");
  const Outcome json = run({"--audio=pulse", "--json"});
  if (json.status != 0 && !(required && std::string(required) == "1")) GTEST_SKIP() << "no PulseAudio server";
  ASSERT_EQ(json.status, 0) << json.err;
  const QJsonObject root = QJsonDocument::fromJson(QByteArray::fromStdString(json.out)).object();
  EXPECT_EQ(root["provider"].toString(), "PulseAudio");
  const QJsonObject sink = device(root["outputs"].toArray(), "SpecAn_Test_Sink_A");
  ASSERT_FALSE(sink.isEmpty()) << json.out;
  EXPECT_TRUE(sink["default"].toBool());
  EXPECT_EQ(sink["samplingRates"].toArray().first().toInt(), 44100);
  EXPECT_TRUE(device(root["inputs"].toArray(), "Monitor of SpecAn_Test_Sink_A")["default"].toBool());
}

}  // namespace
