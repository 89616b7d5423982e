// Command-line parsing for both programs: declared-order help, unambiguous prefixes, sub-commands.
#pragma once
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick::cli {

// What the generic parser found, by record field name (an option without its leading dashes).
// Each program turns it into its own typed options record (see FieldTable); nothing else reads it.
class OptionMap {
 public:
  std::optional<std::string> get(std::string_view name) const;
  bool flag(std::string_view name) const;  // false when absent

  OptionMap& set(std::string name, std::string value);
  OptionMap& setFlag(std::string name, bool value = true);

  // How the user wrote the option of field `name` ("--o" for --output_test_config), the last
  // spelling when it was given more than once; nothing when it was not given, whatever its default.
  std::optional<std::string> typed(std::string_view name) const;
  OptionMap& setTyped(std::string name, std::string spelling);

 private:
  std::map<std::string, std::string, std::less<>> values_;
  std::map<std::string, bool, std::less<>> flags_;
  std::map<std::string, std::string, std::less<>> typed_;
};

// A command line that cannot be accepted; what() is the usage followed by a one-line error,
// meant for standard error with status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// -h, --help or --version was given; what() is the full help text or the version line, meant for
// standard output with status 0.
class HelpRequested : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ValueSettings {
  std::optional<std::string> defaultValue = std::nullopt;
  bool required = false;
  // The value never appears in a command banner (see Parser::maskSecrets).
  bool secret = false;
};

class Parser {
 public:
  Parser(std::string prog, std::string description = "");
  ~Parser();
  Parser(Parser&&) noexcept;
  Parser& operator=(Parser&&) noexcept;

  // `name` is given with its leading dashes ("--vpc"); the record field drops them.
  Parser& addValue(std::string name, std::string help, ValueSettings settings = {});
  Parser& addFlag(std::string name, std::string help);

  // A sub-command with options of its own; its name is stored in the record field `dest`.
  // Once a parser has sub-commands, exactly one of them must be given after its own options.
  Parser& addSubcommand(std::string name, std::string help, std::string dest = "subparser_name");

  // Every option declared after this call came after the command line's first options, which
  // users came to abbreviate. A prefix means a later option only when it fits none of the first
  // ones (nor --help), so each prefix keeps the meaning it had: "--o" stays --output_test_config
  // beside --older_than, "--s" stays --s3_bucket beside --sweep.
  Parser& laterOptionsFollow();

  // "--version" prints `text` and ends with status 0. Only the full name is accepted, so that no
  // prefix that worked before becomes ambiguous.
  Parser& addVersion(std::string text);

  // Parses the words after the program name. Throws UsageError or HelpRequested.
  OptionMap parse(const std::vector<std::string>& words) const;
  OptionMap parse(int argc, const char* const* argv) const;

  // The words with the values of secret options replaced by "****", resolving option
  // prefixes and sub-commands exactly as parse() does. Meant for words that parse() accepted.
  std::vector<std::string> maskSecrets(const std::vector<std::string>& words) const;

  // The record fields of this parser's own options, in declared order; neither the sub-commands'
  // options nor the field of the sub-command name.
  std::vector<std::string> fieldNames() const;
  std::vector<std::string> subcommandNames() const;
  // Throws std::logic_error for a name that addSubcommand never declared.
  const Parser& subcommand(std::string_view name) const;

  // The usage error a program's own checks of the parsed words raise, in the parser's form.
  UsageError usageError(const std::string& message) const;

  std::string usage() const;  // "usage: ..." with a final line end
  std::string help() const;   // usage, description and every option in declared order
  // Throws the UsageError of this parser: a command line that holds together only once the
  // program looks at its surroundings (a terminal to prompt on) fails like one that does not parse.
  [[noreturn]] void fail(const std::string& message) const;

 private:
  struct Option;
  struct Subcommand;
  struct Resolved;

  Resolved resolve(const std::string& word) const;
  std::optional<const Subcommand*> findSubcommand(const std::string& word) const;
  void parseInto(const std::vector<std::string>& words, size_t pos, OptionMap& args) const;
  // The option that words[i] names, with its value stored in `args`; `i` moves past a separate value.
  const Option& takeOption(const std::vector<std::string>& words, size_t& i, OptionMap& args) const;
  void requireComplete(const std::vector<const Option*>& given, bool sawSubcommand) const;
  void maskInto(const std::vector<std::string>& words, size_t pos, std::vector<std::string>& out) const;
  std::string subcommandChoices() const;
  static std::string helpWithDefault(const Option& opt);

  std::string prog_;
  std::string description_;
  std::vector<Option> options_;
  std::vector<Subcommand> subcommands_;
  std::string subcommandDest_;
  std::optional<std::string> version_;
  bool declaringLater_ = false;
};

// Where a typed options record keeps the field of each option of a parser. A program's conversion
// checks its parser against the table first, so that an option declared without a field fails on
// every run, not only when somebody gives it.
template <class Record>
class FieldTable {
 public:
  using Text = std::optional<std::string> Record::*;
  using Flag = bool Record::*;

  FieldTable(std::vector<std::pair<std::string, Text>> texts, std::vector<std::pair<std::string, Flag>> flags)
      : texts_(std::move(texts)), flags_(std::move(flags)) {}

  bool holds(std::string_view name) const {
    for (const auto& entry : texts_)
      if (entry.first == name) return true;
    for (const auto& entry : flags_)
      if (entry.first == name) return true;
    return false;
  }

  // Throws std::logic_error naming the first option of `parser` that has no field here.
  void requireAll(const Parser& parser, std::string_view recordName) const {
    for (const std::string& name : parser.fieldNames())
      if (!holds(name)) throw std::logic_error("the option --" + name + " has no field in " + std::string(recordName));
  }

  // Copies what `parsed` holds; a value it lacks keeps the record's default.
  void fill(const OptionMap& parsed, Record& record) const {
    for (const auto& [name, field] : texts_)
      if (auto value = parsed.get(name)) record.*field = std::move(value);
    for (const auto& [name, field] : flags_) record.*field = parsed.flag(name);
  }

 private:
  std::vector<std::pair<std::string, Text>> texts_;
  std::vector<std::pair<std::string, Flag>> flags_;
};

// A value field of an options record read as text: absent reads as empty, as when not given.
inline std::string text(const std::optional<std::string>& field) { return field.value_or(std::string()); }
// True when the value is present and not empty.
inline bool nonEmpty(const std::optional<std::string>& field) { return field && !field->empty(); }

// The words after the program name, as given.
std::vector<std::string> argumentWords(int argc, const char* const* argv);

// Words joined by single blanks.
std::string joinWords(const std::vector<std::string>& words);

// Splits at every `sep`; empty pieces are kept, so "" gives one empty piece and "a," two pieces.
std::vector<std::string> splitAt(std::string_view text, char sep);

// Runs a program's run flow and turns its outcome into the process exit status: help to
// standard output (0), usage errors to standard error (2), ProcessExit to its status with its
// diagnostic as "<prog>: <diagnostic>" (when it has one), any other exception to "<prog>: <what>"
// on standard error (1).
int runProgram(std::string_view prog, const std::function<int()>& body);

}  // namespace tarnwick::cli
