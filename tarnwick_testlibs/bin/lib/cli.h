// Command-line parsing for both programs: declared-order help, unambiguous prefixes, sub-commands.
#pragma once
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::cli {

// The options record: one field per option, named as the option without its leading dashes.
// Value options hold text or are absent; flags hold booleans.
class Args {
 public:
  std::optional<std::string> get(std::string_view name) const;
  // The value, or `fallback` when the field is absent.
  std::string value(std::string_view name, std::string_view fallback = "") const;
  // True when the value is present and not empty.
  bool nonEmpty(std::string_view name) const;
  bool flag(std::string_view name) const;  // false when absent
  bool has(std::string_view name) const;   // the field exists (value or flag)

  Args& set(std::string name, std::string value);
  Args& setFlag(std::string name, bool value = true);
  Args& unset(const std::string& name);

 private:
  std::map<std::string, std::string, std::less<>> values_;
  std::map<std::string, bool, std::less<>> flags_;
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

  // "--version" prints `text` and ends with status 0. Only the full name is accepted, so that no
  // prefix that worked before becomes ambiguous.
  Parser& addVersion(std::string text);

  // Parses the words after the program name. Throws UsageError or HelpRequested.
  Args parse(const std::vector<std::string>& words) const;
  Args parse(int argc, const char* const* argv) const;

  // The words with the values of secret options replaced by "****", resolving option
  // prefixes and sub-commands exactly as parse() does. Meant for words that parse() accepted.
  std::vector<std::string> maskSecrets(const std::vector<std::string>& words) const;

  std::string usage() const;  // "usage: ..." with a final line end
  std::string help() const;   // usage, description and every option in declared order

 private:
  struct Option;
  struct Subcommand;
  struct Resolved;

  Resolved resolve(const std::string& word) const;
  std::optional<const Subcommand*> findSubcommand(const std::string& word) const;
  [[noreturn]] void fail(const std::string& message) const;
  void parseInto(const std::vector<std::string>& words, size_t pos, Args& args) const;
  void maskInto(const std::vector<std::string>& words, size_t pos, std::vector<std::string>& out) const;
  std::string subcommandChoices() const;
  static std::string helpWithDefault(const Option& opt);

  std::string prog_;
  std::string description_;
  std::vector<Option> options_;
  std::vector<Subcommand> subcommands_;
  std::string subcommandDest_;
  std::optional<std::string> version_;
};

// The words after the program name, as given.
std::vector<std::string> argumentWords(int argc, const char* const* argv);

// Words joined by single blanks.
std::string joinWords(const std::vector<std::string>& words);

// Splits at every `sep`; empty pieces are kept, so "" gives one empty piece and "a," two pieces.
std::vector<std::string> splitAt(std::string_view text, char sep);

// Runs a program's run flow and turns its outcome into the process exit status: help to
// standard output (0), usage errors to standard error (2), ProcessExit to its status with its
// diagnostic, any other exception to "<prog>: <what>" on standard error (1).
int runProgram(std::string_view prog, const std::function<int()>& body);

}  // namespace tarnwick::cli
