#pragma once
// The programs' options, parsed by CLI11 behind a small interface of our
// own.  CLI11 is header-only: every source that includes it compiles its
// whole parser, which made each program's main the largest source of every
// build.  Here it is compiled once, and the help, the errors and the exit
// statuses are CLI11's own.
//
// Everything runs on the calling thread; nothing blocks.  The values an
// option is given are written through the reference it was declared with,
// during Parse, so they must outlive the CommandLine.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace os {

class CommandLine {
 public:
  // One declared option, to be refined; each call returns the option again.
  class Option {
   public:
    // The value's name in the help ("MS", "N", "HEX") instead of its type's.
    Option& TypeName(const std::string& name);
    // The help shows the value the option starts with.
    Option& ShowDefault();
    // Values outside [min, max] are refused; the help names the range.
    Option& Range(int min, int max);
    // Negative values are refused; the help's type column stays as it is.
    Option& NotNegative();
    // Values for which `check` returns an error text are refused with it.
    Option& Check(std::function<std::string(const std::string&)> check);
    // The option is refused without `other` (given by its long name).
    Option& Needs(const std::string& other);

   private:
    friend class CommandLine;
    explicit Option(CLI::Option* option) : option_(option) {}
    CLI::Option* option_;  // the parser owns it
  };

  // How a bad command line is answered (on standard error):
  enum class Errors {
    kParser,     // the parser's message and a pointer to --help; exit status 2
    kWithUsage,  // "<name>: <message>", a blank line and the whole help; exit status 2
  };

  // An empty name: the program's name as it was started (argv[0]).
  CommandLine(const std::string& description, const std::string& name, Errors errors);
  ~CommandLine();
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  Option Flag(const std::string& name, bool& value, const std::string& help);
  Option Value(const std::string& name, std::string& value, const std::string& help);
  Option Value(const std::string& name, int& value, const std::string& help);
  Option Value(const std::string& name, unsigned& value, const std::string& help);
  // Repeatable: each occurrence adds a value.
  Option Values(const std::string& name, std::vector<std::string>& values, const std::string& help);

  // Text after the options in the help.
  void Footer(const std::string& text);
  // The help's own words, for a translated help: the usage line's label,
  // the OPTIONS placeholder, the options' group heading and the help
  // option's description.  The option names stay as they are typed.
  void HelpWords(const std::string& usage, const std::string& options, const std::string& group,
                 const std::string& helpDescription);
  // An option that prints `version()` and ends the program with status 0.
  void VersionFlag(const std::string& name, std::function<std::string()> version, const std::string& help);

  // Parses the arguments after argv[0] (argc of them in all, argv[0]
  // included).  Returns the exit status when the program should end now:
  // 0 after printing the help or the version on standard output, 2 after a
  // bad command line was answered as `errors` says.  Nothing when the
  // program goes on with the values given.
  std::optional<int> Parse(int argc, char** argv);

 private:
  std::unique_ptr<CLI::App> app_;
  Errors errors_;
};

}  // namespace os
