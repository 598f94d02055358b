// hov: the command-line front of the library. Each subcommand fills its options and hands them
// to its command; the command's result is the exit status.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "tools/hov/LiveCommands.h"
#include "tools/hov/RecordCommand.h"
#include "tools/hov/StopRequest.h"
#ifdef HOV_CLI_FILE_COMMANDS
#include "tools/hov/AnalyzeCommand.h"
#include "tools/hov/FileCommands.h"
#endif

namespace {
constexpr int kUsageError = 64;

const char kExitStatuses[] =
    "Exit status:\n"
    "  0    done: the key was encoded, decoded, received or came back (loopback), the sender\n"
    "       or the recording ran and stopped, or the file was analysed\n"
    "  1    the audio or image file cannot be read or written (not a regular file, no such\n"
    "       file, not audio, a failed write: no output file is left behind)\n"
    "  2    no key: not a share key (encode), or a time-out (decode, receive, loopback)\n"
    "  3    a packet was accepted but does not decode to a share key\n"
    "  4    the library did not start the sender or receiver, or did not answer; the capture\n"
    "       did not open or delivered nothing (record)\n"
    "  5    loopback: a share key came back, but not the one sent\n"
    "  64   bad command line: an unknown option, an empty file name, a value out of range,\n"
    "       or a receiver this build does not have\n"
    "  130  receive or loopback interrupted by Ctrl-C\n";

// File names may not be empty.
const CLI::Validator kNamed(
    [](std::string& name) { return name.empty() ? std::string("an empty file name") : ""; },
    "NAME");
const std::vector<std::string> kReceivers = {"design", "robust"};
constexpr const char* kReceiverHelp =
    "The receiver: design (the library's, the default) or robust (any rate from 44100 Hz, "
    "listens the whole time)";

#ifdef HOV_CLI_FILE_COMMANDS
// --receiver NAME for a file command: the modem library's receiver of that name.
void AddReceiver(CLI::App* c, int& receiver) {
  c->add_option_function<std::string>(
       "--receiver", [&receiver](const std::string& name) { receiver = ReceiverChoice(name); },
       kReceiverHelp)
      ->check(CLI::IsMember(kReceivers));
}

void AddEncode(CLI::App& app, EncodeOptions& o) {
  CLI::App* c =
      app.add_subcommand("encode", "Write the on-air signal of a share key to a WAV file");
  c->add_option("KEY", o.key, "Share key: six letters A-Z")->required();
  c->add_option("OUT", o.outPath, "Output file: mono 16-bit 48000 Hz WAV")
      ->required()
      ->check(kNamed);
  c->add_option("--seconds", o.seconds, "Length of the signal in seconds (default 5)")
      ->check(CLI::Range(0.001, 3600.0));
  CLI::Option* then = c->add_option(
      "--then", o.thenKey,
      "Change to this key through the sender's half-second cross-fade. As in playback, where "
      "the device asks for one second of samples at a time, the change starts at the first "
      "whole second at or after --at");
  CLI::Option* at =
      c->add_option("--at", o.at, "Seconds into the signal when the --then key is asked for")
          ->check(CLI::NonNegativeNumber);
  then->needs(at);
  at->needs(then);
}

void AddDecode(CLI::App& app, DecodeOptions& o) {
  CLI::App* c = app.add_subcommand("decode", "Hear a share key in an audio file");
  c->add_option("IN", o.inPath,
                "Audio file in any format libsndfile reads, at any sample rate (resampled to "
                "48000 Hz); first channel")
      ->required()
      ->check(kNamed);
  c->add_option("--buffer-frames", o.bufferFrames, "Frames per buffer given to the decoders")
      ->check(CLI::Range(1, 1 << 20));
  AddReceiver(c, o.receiver);
  c->add_flag("--json", o.json,
              "Print {\"code\":C,\"key\":\"K\",\"frame\":F} (F: null on a time-out)");
}

void AddAnalyze(CLI::App& app, AnalyzeOptions& o) {
  CLI::App* c =
      app.add_subcommand("analyze", "Tell why a recording does or does not give a share key");
  c->footer(
      "Prints a one-line verdict first, then the levels, the level of each tone against the band "
      "noise per 0.1 s, and what each of the receiver's ten staggered decoders read: the score "
      "of each frame phase, the strongest tone of each frame of the best phase, the packet and "
      "the vote.\n\n");
  c->add_option("IN", o.inPath,
                "Audio file in any format libsndfile reads, at any sample rate (the decoders "
                "hear it resampled to 48000 Hz); first channel")
      ->required()
      ->check(kNamed);
  c->add_option("--png", o.pngPath,
                "Also draw an 18.5-20.5 kHz spectrogram with the tone grid and the symbols of "
                "the accepting decoder (or decoder 1) marked; 14 + one pixel per 256 frames "
                "wide (per 512 or more beyond 42 s), 12 + 8 per FFT bin + 8 high (364 at "
                "48000 Hz)")
      ->check(kNamed);
  c->add_option("--buffer-frames", o.bufferFrames, "Frames per buffer given to the decoders")
      ->check(CLI::Range(1, 1 << 20));
  AddReceiver(c, o.receiver);
  c->add_flag("--json", o.json, "Print the analysis as one JSON object");
}
#endif

void AddSend(CLI::App& app, SendOptions& o) {
  CLI::App* c = app.add_subcommand("send", "Play a share key on the default output until stopped");
  c->add_option("KEY", o.key, "Share key: six letters A-Z")->required();
  c->add_option("--seconds", o.seconds, "Stop after this many seconds (default: at Ctrl-C)")
      ->check(CLI::PositiveNumber);
  CLI::Option* then = c->add_option("--then", o.thenKey, "Switch to this key while playing");
  CLI::Option* at =
      c->add_option("--at", o.at, "Seconds after the start to switch to the --then key")
          ->check(CLI::NonNegativeNumber);
  then->needs(at);
  at->needs(then);
  c->add_flag("--verbose", o.verbose, "Library log lines and status codes on stderr");
}

void AddReceive(CLI::App& app, ReceiveOptions& o) {
  CLI::App* c = app.add_subcommand("receive", "Listen on the default input for one share key");
  c->add_option("--timeout-ms", o.timeoutMs,
                "Give up after this many milliseconds (default 30000); the receiver is started "
                "again every 3 s, so a key that starts playing later is heard too (the robust "
                "receiver listens the whole time)");
  c->add_option("--receiver", o.receiver, kReceiverHelp)->check(CLI::IsMember(kReceivers));
  c->add_flag(
      "--json", o.json,
      "Print {\"code\":C,\"key\":\"K\",\"frame\":null,\"ms\":M}, M: milliseconds to the result");
  c->add_flag("--verbose", o.verbose, "Library log lines and status codes on stderr");
}

void AddRecord(CLI::App& app, RecordOptions& o) {
  CLI::App* c =
      app.add_subcommand("record", "Record the default input, as the receiver hears it, to a file");
  c->footer(
      "Captures through the library's own capture front (mono 16-bit 48000 Hz), so the file "
      "holds exactly what the receiver would hear. On a terminal a status line shows the time, "
      "the level of 19.1-19.9 kHz and the receiver's decoders at work on the same sound. Ctrl-C "
      "ends the recording early; what was captured is written.\n\n");
  c->add_option("OUT", o.outPath, "Output file: mono 16-bit 48000 Hz WAV, written at the end")
      ->required()
      ->check(kNamed);
  c->add_option("--seconds", o.seconds, "Stop after this many seconds (default: at Ctrl-C)")
      ->check(CLI::PositiveNumber);
  c->add_flag("--verbose", o.verbose,
              "Library log lines on stderr, and \"hov record: capturing\" once samples come");
}

void AddLoopback(CLI::App& app, LoopbackOptions& o) {
  CLI::App* c =
      app.add_subcommand("loopback", "Send a share key and receive it back in one process");
  c->footer(
      "Plays the key on the default output and listens on the default input through the seven "
      "exports, as two host applications would; prints \"KEY received in M ms\", M being the "
      "time from the start of the receiver to its result. On a terminal a status line shows "
      "the elapsed time and what the library has reported so far.\n\n");
  c->add_option("KEY", o.key, "Share key: six letters A-Z")->required();
  c->add_option("--timeout-ms", o.timeoutMs,
                "Give up after this many milliseconds (default 30000)");
  c->add_option("--receiver", o.receiver, kReceiverHelp)->check(CLI::IsMember(kReceivers));
  c->add_flag("--json", o.json,
              "Print {\"code\":C,\"key\":\"K\",\"frame\":null,\"ms\":M,\"sent\":\"S\"}");
  c->add_flag("--verbose", o.verbose, "Library log lines and status codes on stderr");
}
}  // namespace

int main(int argc, char** argv) {
  // Before anything can start a thread: the send, receive, loopback and record commands take
  // their stop requests on a waiter thread, and no other thread may die of them.
  BlockStopSignals();
  CLI::App app("hov: pass a six-letter share key between computers as near-ultrasonic sound");
  app.require_subcommand(1);
  app.footer(kExitStatuses);
#ifdef HOV_CLI_FILE_COMMANDS
  EncodeOptions encode;
  DecodeOptions decode;
  AddEncode(app, encode);
  AddDecode(app, decode);
  AnalyzeOptions analyze;
  AddAnalyze(app, analyze);
#endif
  SendOptions send;
  ReceiveOptions receive;
  LoopbackOptions loopback;
  AddSend(app, send);
  AddReceive(app, receive);
  AddLoopback(app, loopback);
  RecordOptions record;
  AddRecord(app, record);
  for (CLI::App* command : app.get_subcommands({})) {
    command->footer(command->get_footer() + kExitStatuses);
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int status = app.exit(e);
    return status == 0 ? 0 : kUsageError;
  }

  const std::string name = app.get_subcommands().front()->get_name();
#ifdef HOV_CLI_FILE_COMMANDS
  if (name == "encode" || name == "decode" || name == "analyze") {
    UnblockStopSignals();  // one thread, nothing to stop in order
  }
  if (name == "encode") {
    return RunEncode(encode);
  }
  if (name == "decode") {
    return RunDecode(decode);
  }
  if (name == "analyze") {
    return RunAnalyze(analyze);
  }
#endif
  if (name == "send") {
    return RunSend(send);
  }
  if (name == "record") {
    return RunRecord(record);
  }
  if (name == "loopback") {
    return RunLoopback(loopback);
  }
  return RunReceive(receive);
}
