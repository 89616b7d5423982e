// The command-line parser that both programs share.
#include "tarnwick_testlibs/bin/lib/cli.h"

#include <algorithm>
#include <cctype>
#include <iostream>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "tarnwick_testlibs/bin/core/AppExitStatus.h"

namespace tarnwick::cli {

// ---- OptionMap

std::optional<std::string> OptionMap::get(std::string_view name) const {
  auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

bool OptionMap::flag(std::string_view name) const {
  auto it = flags_.find(name);
  return it != flags_.end() && it->second;
}

OptionMap& OptionMap::set(std::string name, std::string value) {
  flags_.erase(name);
  values_[std::move(name)] = std::move(value);
  return *this;
}

OptionMap& OptionMap::setFlag(std::string name, bool value) {
  values_.erase(name);
  flags_[std::move(name)] = value;
  return *this;
}

std::optional<std::string> OptionMap::typed(std::string_view name) const {
  auto it = typed_.find(name);
  if (it == typed_.end()) return std::nullopt;
  return it->second;
}

OptionMap& OptionMap::setTyped(std::string name, std::string spelling) {
  typed_[std::move(name)] = std::move(spelling);
  return *this;
}

// ---- Parser

namespace {

constexpr size_t kWidth = 80;
constexpr size_t kHelpColumn = 24;
constexpr const char* kHelpName = "--help";
constexpr const char* kVersionName = "--version";
constexpr const char* kMask = "****";

std::string fieldName(const std::string& optionName) {
  size_t start = optionName.find_first_not_of('-');
  return start == std::string::npos ? optionName : optionName.substr(start);
}

std::string metavar(const std::string& optionName) {
  std::string m = fieldName(optionName);
  std::transform(m.begin(), m.end(), m.begin(), [](unsigned char c) { return std::toupper(c); });
  return m;
}

bool looksLikeNegativeNumber(const std::string& word) {
  if (word.size() < 2 || word[0] != '-') return false;
  bool digits = false, dot = false;
  for (size_t i = 1; i < word.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(word[i]))) {
      digits = true;
    } else if (word[i] == '.' && !dot) {
      dot = true;
    } else {
      return false;
    }
  }
  return digits;
}

// A word that the parser reads as an option rather than as a value or a sub-command name.
bool looksLikeOption(const std::string& word) {
  return word.size() > 1 && word[0] == '-' && !looksLikeNegativeNumber(word);
}

std::vector<std::string> wrapWords(const std::string& text, size_t width) {
  std::vector<std::string> lines;
  std::string line;
  for (const auto& word : splitAt(text, ' ')) {
    if (word.empty()) continue;
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      lines.push_back(line);
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// One entry of the help: the invocation, then its help text from the help column on.
std::string helpEntry(const std::string& invocation, const std::string& help, size_t indent = 2) {
  std::string lead = std::string(indent, ' ') + invocation;
  auto lines = wrapWords(help, kWidth - kHelpColumn);
  if (lines.empty()) return lead + "\n";
  std::string out;
  if (lead.size() + 2 <= kHelpColumn) {
    out = lead + std::string(kHelpColumn - lead.size(), ' ') + lines[0] + "\n";
  } else {
    out = lead + "\n" + std::string(kHelpColumn, ' ') + lines[0] + "\n";
  }
  for (size_t i = 1; i < lines.size(); ++i) out += std::string(kHelpColumn, ' ') + lines[i] + "\n";
  return out;
}

}  // namespace

struct Parser::Option {
  std::string name;  // with dashes
  std::string help;
  bool isFlag = false;
  ValueSettings settings;
  bool later = false;  // declared after laterOptionsFollow()
};

struct Parser::Subcommand {
  std::string name;
  std::string help;
  std::unique_ptr<Parser> parser;
};

struct Parser::Resolved {
  enum Kind { kUnknown, kAmbiguous, kHelp, kVersion, kFound } kind = kUnknown;
  const Option* option = nullptr;
  std::string typed;                       // the option part of the word, as typed
  std::optional<std::string> inlineValue;  // the text after "=", when there is one
  std::vector<std::string> candidates;     // for an ambiguous prefix
};

Parser::Parser(std::string prog, std::string description)
    : prog_(std::move(prog)), description_(std::move(description)) {}
Parser::~Parser() = default;
Parser::Parser(Parser&&) noexcept = default;
Parser& Parser::operator=(Parser&&) noexcept = default;

Parser& Parser::addValue(std::string name, std::string help, ValueSettings settings) {
  options_.push_back(Option{std::move(name), std::move(help), false, std::move(settings), declaringLater_});
  return *this;
}

Parser& Parser::addFlag(std::string name, std::string help) {
  options_.push_back(Option{std::move(name), std::move(help), true, {}, declaringLater_});
  return *this;
}

Parser& Parser::laterOptionsFollow() {
  declaringLater_ = true;
  return *this;
}

Parser& Parser::addSubcommand(std::string name, std::string help, std::string dest) {
  subcommandDest_ = std::move(dest);
  auto parser = std::make_unique<Parser>(prog_ + " " + name, help);
  Parser& ref = *parser;
  subcommands_.push_back(Subcommand{std::move(name), std::move(help), std::move(parser)});
  return ref;
}

Parser& Parser::addVersion(std::string text) {
  version_ = std::move(text);
  return *this;
}

Parser::Resolved Parser::resolve(const std::string& word) const {
  Resolved r;
  size_t eq = word.find('=');
  r.typed = word.substr(0, eq);
  if (eq != std::string::npos) r.inlineValue = word.substr(eq + 1);

  if (r.typed == "-h" || r.typed == kHelpName) {
    r.kind = Resolved::kHelp;
    return r;
  }
  if (version_ && word == kVersionName) {
    r.kind = Resolved::kVersion;
    return r;
  }
  for (const auto& opt : options_) {
    if (opt.name == r.typed) {
      r.kind = Resolved::kFound;
      r.option = &opt;
      return r;
    }
  }
  // Prefixes need the double dash; a single-dash word is never taken as an abbreviation.
  if (r.typed.size() < 3 || r.typed.compare(0, 2, "--") != 0) return r;
  const auto fits = [&r](std::string_view name) { return name.substr(0, r.typed.size()) == r.typed; };
  std::vector<const Option*> first, later;
  for (const auto& opt : options_) {
    if (!fits(opt.name)) continue;
    (opt.later ? later : first).push_back(&opt);
    r.candidates.push_back(opt.name);
  }
  // --help is one of the first options.
  const bool helpFits = fits(kHelpName);
  if (helpFits) r.candidates.push_back(kHelpName);
  const size_t firstFitting = first.size() + (helpFits ? 1 : 0);
  if (firstFitting > 1 || (firstFitting == 0 && later.size() > 1)) {
    r.kind = Resolved::kAmbiguous;
  } else if (helpFits) {
    r.kind = Resolved::kHelp;
  } else if (!first.empty() || !later.empty()) {
    r.kind = Resolved::kFound;
    r.option = first.empty() ? later.front() : first.front();
  }
  return r;
}

std::optional<const Parser::Subcommand*> Parser::findSubcommand(const std::string& word) const {
  for (const auto& sub : subcommands_) {
    if (sub.name == word) return &sub;
  }
  return std::nullopt;
}

std::string Parser::subcommandChoices() const {
  std::string out;
  for (const auto& sub : subcommands_) out += (out.empty() ? "'" : ", '") + sub.name + "'";
  return out;
}

UsageError Parser::usageError(const std::string& message) const {
  return UsageError(usage() + fmt::format("{}: error: {}\n", prog_, message));
}

void Parser::fail(const std::string& message) const { throw usageError(message); }

void Parser::parseInto(const std::vector<std::string>& words, size_t pos, OptionMap& args) const {
  for (const auto& opt : options_) {
    if (opt.isFlag) {
      args.setFlag(fieldName(opt.name), false);
    } else if (opt.settings.defaultValue) {
      args.set(fieldName(opt.name), *opt.settings.defaultValue);
    }
  }

  std::vector<const Option*> given;
  bool sawSubcommand = false;
  for (size_t i = pos; i < words.size() && !sawSubcommand; ++i) {
    const std::string& word = words[i];
    if (looksLikeOption(word)) {
      given.push_back(&takeOption(words, i, args));
      continue;
    }
    if (subcommands_.empty()) fail("unrecognized arguments: " + word);
    auto sub = findSubcommand(word);
    if (!sub) {
      fail(fmt::format("invalid sub-command: '{}' (choose from {})", word, subcommandChoices()));
    }
    args.set(subcommandDest_, word);
    (*sub)->parser->parseInto(words, i + 1, args);
    sawSubcommand = true;
  }
  requireComplete(given, sawSubcommand);
}

const Parser::Option& Parser::takeOption(const std::vector<std::string>& words, size_t& i, OptionMap& args) const {
  const std::string& word = words[i];
  Resolved r = resolve(word);
  switch (r.kind) {
    case Resolved::kHelp:
      throw HelpRequested(help());
    case Resolved::kVersion:
      throw HelpRequested(*version_ + "\n");
    case Resolved::kAmbiguous:
      fail(fmt::format("ambiguous option: {} could match {}", r.typed, fmt::join(r.candidates, ", ")));
    case Resolved::kUnknown:
      fail("unrecognized arguments: " + word);
    case Resolved::kFound:
      break;
  }
  const Option& opt = *r.option;
  if (opt.isFlag) {
    if (r.inlineValue) fail(fmt::format("argument {}: ignored explicit argument '{}'", opt.name, *r.inlineValue));
    args.setFlag(fieldName(opt.name), true);
  } else if (r.inlineValue) {
    args.set(fieldName(opt.name), *r.inlineValue);
  } else if (i + 1 < words.size() && !looksLikeOption(words[i + 1])) {
    args.set(fieldName(opt.name), words[++i]);
  } else {
    fail(fmt::format("argument {}: expected one argument", opt.name));
  }
  args.setTyped(fieldName(opt.name), r.typed);
  return opt;
}

void Parser::requireComplete(const std::vector<const Option*>& given, bool sawSubcommand) const {
  std::vector<std::string> missing;
  for (const auto& opt : options_) {
    if (opt.settings.required && std::find(given.begin(), given.end(), &opt) == given.end()) {
      missing.push_back(opt.name);
    }
  }
  if (!missing.empty()) {
    fail(fmt::format("the following arguments are required: {}", fmt::join(missing, ", ")));
  }
  if (!subcommands_.empty() && !sawSubcommand) {
    fail(fmt::format("a sub-command is required (choose from {})", subcommandChoices()));
  }
}

OptionMap Parser::parse(const std::vector<std::string>& words) const {
  OptionMap args;
  parseInto(words, 0, args);
  return args;
}

OptionMap Parser::parse(int argc, const char* const* argv) const { return parse(argumentWords(argc, argv)); }

void Parser::maskInto(const std::vector<std::string>& words, size_t pos, std::vector<std::string>& out) const {
  for (size_t i = pos; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (!looksLikeOption(word)) {
      out.push_back(word);
      if (auto sub = findSubcommand(word)) {
        (*sub)->parser->maskInto(words, i + 1, out);
        return;
      }
      continue;
    }
    Resolved r = resolve(word);
    if (r.kind != Resolved::kFound || r.option->isFlag) {
      out.push_back(word);
      continue;
    }
    bool secret = r.option->settings.secret;
    if (r.inlineValue) {
      out.push_back(secret ? r.typed + "=" + kMask : word);
    } else {
      out.push_back(word);
      if (i + 1 < words.size() && !looksLikeOption(words[i + 1])) {
        ++i;
        out.push_back(secret ? std::string(kMask) : words[i]);
      }
    }
  }
}

std::vector<std::string> Parser::maskSecrets(const std::vector<std::string>& words) const {
  std::vector<std::string> out;
  maskInto(words, 0, out);
  return out;
}

std::vector<std::string> Parser::fieldNames() const {
  std::vector<std::string> names;
  for (const auto& opt : options_) names.push_back(fieldName(opt.name));
  return names;
}

std::vector<std::string> Parser::subcommandNames() const {
  std::vector<std::string> names;
  for (const auto& sub : subcommands_) names.push_back(sub.name);
  return names;
}

const Parser& Parser::subcommand(std::string_view name) const {
  for (const auto& sub : subcommands_)
    if (sub.name == name) return *sub.parser;
  throw std::logic_error(fmt::format("{} has no sub-command {}", prog_, name));
}

std::string Parser::usage() const {
  std::vector<std::string> parts{"[-h]"};
  if (version_) parts.push_back(std::string("[") + kVersionName + "]");
  for (const auto& opt : options_) {
    std::string part = opt.isFlag ? opt.name : opt.name + " " + metavar(opt.name);
    parts.push_back(opt.settings.required ? part : "[" + part + "]");
  }
  if (!subcommands_.empty()) {
    std::string names;
    for (const auto& sub : subcommands_) names += (names.empty() ? "" : ",") + sub.name;
    parts.push_back("{" + names + "}");
    parts.push_back("...");
  }

  std::string lead = "usage: " + prog_;
  std::string indent(lead.size() + 1, ' ');
  std::string out = lead;
  size_t lineLength = lead.size();
  for (const auto& part : parts) {
    if (lineLength + 1 + part.size() > kWidth && lineLength > indent.size()) {
      out += "\n" + indent + part;
      lineLength = indent.size() + part.size();
    } else {
      out += " " + part;
      lineLength += 1 + part.size();
    }
  }
  return out + "\n";
}

// The default is shown unless the help text already names it.
std::string Parser::helpWithDefault(const Option& opt) {
  const auto& d = opt.settings.defaultValue;
  if (opt.isFlag || !d || d->empty() || opt.help.find(*d) != std::string::npos) return opt.help;
  return opt.help + " (default: " + *d + ")";
}

std::string Parser::help() const {
  std::string out = usage();
  if (!description_.empty()) out += "\n" + description_ + "\n";
  if (!subcommands_.empty()) {
    std::string names;
    for (const auto& sub : subcommands_) names += (names.empty() ? "" : ",") + sub.name;
    out += "\npositional arguments:\n  {" + names + "}\n";
    for (const auto& sub : subcommands_) out += helpEntry(sub.name, sub.help, 4);
  }
  out += "\noptions:\n";
  out += helpEntry("-h, --help", "show this help message and exit");
  if (version_) out += helpEntry(kVersionName, "show program's version number and exit");
  for (const auto& opt : options_) {
    out += helpEntry(opt.isFlag ? opt.name : opt.name + " " + metavar(opt.name), helpWithDefault(opt));
  }
  return out;
}

// ---- Helpers

std::vector<std::string> argumentWords(int argc, const char* const* argv) {
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) words.emplace_back(argv[i]);
  return words;
}

std::string joinWords(const std::vector<std::string>& words) {
  std::string out;
  for (size_t i = 0; i < words.size(); ++i) out += (i ? " " : "") + words[i];
  return out;
}

std::vector<std::string> splitAt(std::string_view text, char sep) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (true) {
    size_t next = text.find(sep, start);
    if (next == std::string_view::npos) {
      pieces.emplace_back(text.substr(start));
      return pieces;
    }
    pieces.emplace_back(text.substr(start, next - start));
    start = next + 1;
  }
}

int runProgram(std::string_view prog, const std::function<int()>& body) {
  try {
    return body();
  } catch (const HelpRequested& h) {
    std::cout << h.what() << std::flush;
    return kExitOk;
  } catch (const UsageError& e) {
    std::cerr << e.what() << std::flush;
    return kExitUsage;
  } catch (const ProcessExit& e) {
    if (*e.what()) std::cerr << prog << ": " << e.what() << std::endl;
    return e.status();
  } catch (const std::exception& e) {
    std::cerr << prog << ": " << e.what() << std::endl;
    return kExitFatal;
  }
}

}  // namespace tarnwick::cli
