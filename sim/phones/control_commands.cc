#include "sim/phones/control_commands.h"

#include "sim/phones/phone_protocol.h"

namespace phonesim {
namespace {

// Checked here so that a typing mistake is named before anything is sent.
const std::string& Address(const std::vector<std::string>& args, size_t index) {
  if (index >= args.size()) throw UsageError(args[0] + " needs an ADDRESS");
  try {
    ParseAddress(args[index]);
  } catch (const ProtocolError&) {
    throw UsageError("'" + args[index] + "' is not an address like 5C:F3:70:12:34:56");
  }
  return args[index];
}

void Count(const std::vector<std::string>& args, size_t count) {
  if (args.size() != count) throw UsageError("wrong number of arguments for " + args[0]);
}

}  // namespace

std::string ControlLine(const std::vector<std::string>& args) {
  if (args.empty()) throw UsageError("missing command");
  const std::string& verb = args[0];
  if (verb == "add") {
    // add ADDRESS [--name NAME] [--class HEX] [--unpaired]
    const std::string address = Address(args, 1);
    std::string name = "Simulated phone";
    std::string cls = "5A020C";
    std::string paired = "1";
    for (size_t i = 2; i < args.size(); ++i) {
      if (args[i] == "--unpaired") {
        paired = "0";
      } else if ((args[i] == "--name" || args[i] == "--class") && i + 1 < args.size()) {
        (args[i] == "--name" ? name : cls) = args[i + 1];
        ++i;
      } else {
        throw UsageError("unknown option '" + args[i] + "'");
      }
    }
    if (name.size() > kMaxNameLength) throw UsageError("the name is longer than 248 bytes");
    try {
      ParseClassOfDevice(cls);
    } catch (const ProtocolError&) {
      throw UsageError("the class of device is 1 to 6 hexadecimal digits");
    }
    return "ADD " + address + " " + cls + " " + paired + " " + EscapeName(name);
  }
  if (verb == "remove") {
    Count(args, 2);
    return "REMOVE " + Address(args, 1);
  }
  if (verb == "rssi") {
    if (args.size() < 3 || args.size() > kMaxRssiScript + 2) {
      throw UsageError("rssi needs an ADDRESS and 1 to 256 values");
    }
    std::string line = "RSSI " + Address(args, 1);
    for (size_t i = 2; i < args.size(); ++i) {
      try {
        ParseInteger(args[i], -128, 127);
      } catch (const ProtocolError&) {
        throw UsageError("RSSI values are whole numbers from -128 to 127");
      }
      line += " " + args[i];
    }
    return line;
  }
  if (verb == "range") {
    Count(args, 3);
    if (args[2] != "in" && args[2] != "out") throw UsageError("range is in or out");
    return "RANGE " + Address(args, 1) + " " + args[2];
  }
  if (verb == "pair" || verb == "unpair") {
    Count(args, 2);
    return "PAIR " + Address(args, 1) + (verb == "pair" ? " 1" : " 0");
  }
  if (verb == "mode") {
    Count(args, 3);
    if (args[2] != "echo" && args[2] != "silent" && args[2] != "drop") {
      throw UsageError("mode is echo, silent or drop");
    }
    return "MODE " + Address(args, 1) + " " + args[2];
  }
  if (verb == "radio") {
    Count(args, 2);
    if (args[1] != "on" && args[1] != "off") throw UsageError("radio is on or off");
    return "RADIO " + args[1];
  }
  if (verb == "list") {
    Count(args, 1);
    return "LIST";
  }
  if (verb == "stop") {
    Count(args, 1);
    return "SHUTDOWN";
  }
  if (verb == "raw") {
    // raw WORD...: any request as it goes on the wire (REPLYSIZE, MAXMESSAGE, FAILCONNECT, ...)
    if (args.size() < 2) throw UsageError("raw needs a request");
    std::string line;
    for (size_t i = 1; i < args.size(); ++i) line += (i > 1 ? " " : "") + args[i];
    try {
      SplitLine(line);
    } catch (const ProtocolError& e) {
      throw UsageError(std::string("not a request line: ") + e.what());
    }
    return line;
  }
  throw UsageError("unknown command '" + verb + "'");
}

StartArguments ParseStartArguments(const std::vector<std::string>& args) {
  StartArguments start{"", kRadioTimeUnit};
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--time-unit" && i + 1 < args.size()) {
      try {
        start.timeUnit = std::chrono::milliseconds(ParseInteger(args[++i], 1, kRadioTimeUnit.count()));
      } catch (const ProtocolError&) {
        throw UsageError("--time-unit takes 1 to " + std::to_string(kRadioTimeUnit.count()) +
                         " milliseconds");
      }
    } else if (args[i].empty() || args[i][0] == '-' || !start.directory.empty()) {
      throw UsageError("unexpected '" + args[i] + "'");
    } else {
      start.directory = args[i];
    }
  }
  return start;
}

}  // namespace phonesim
