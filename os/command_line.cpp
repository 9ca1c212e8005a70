#include "os/command_line.h"

#include <CLI/CLI.hpp>

#include <iostream>

namespace os {

namespace {

constexpr int kUsageError = 2;

CLI::Option *Of(void *option) { return static_cast<CLI::Option *>(option); }

} // namespace

struct CommandLine::Parser {
  Parser(const std::string &description, const std::string &name)
      : app(description, name) {}
  CLI::App app;
};

CommandLine::Option &CommandLine::Option::TypeName(const std::string &name) {
  Of(option_)->type_name(name);
  return *this;
}

CommandLine::Option &CommandLine::Option::ShowDefault() {
  Of(option_)->capture_default_str();
  return *this;
}

CommandLine::Option &CommandLine::Option::Range(int min, int max) {
  Of(option_)->check(CLI::Range(min, max));
  return *this;
}

CommandLine::Option &CommandLine::Option::NotNegative() {
  CLI::Validator notNegative = CLI::Range(0, 1 << 30);
  notNegative.description(
      ""); // the type column says MS or N, without the validator's name
  Of(option_)->check(notNegative);
  return *this;
}

CommandLine::Option &CommandLine::Option::Check(
    std::function<std::string(const std::string &)> check) {
  Of(option_)->check(std::move(check));
  return *this;
}

CommandLine::Option &CommandLine::Option::Needs(const std::string &other) {
  Of(option_)->needs(other);
  return *this;
}

CommandLine::CommandLine(const std::string &description,
                         const std::string &name, Errors errors)
    : parser_(std::make_unique<Parser>(description, name)), errors_(errors) {}

CommandLine::~CommandLine() = default;

CommandLine::Option CommandLine::Flag(const std::string &name, bool &value,
                                      const std::string &help) {
  return Option(parser_->app.add_flag(name, value, help));
}

CommandLine::Option CommandLine::Value(const std::string &name,
                                       std::string &value,
                                       const std::string &help) {
  return Option(parser_->app.add_option(name, value, help));
}

CommandLine::Option CommandLine::Value(const std::string &name, int &value,
                                       const std::string &help) {
  return Option(parser_->app.add_option(name, value, help));
}

CommandLine::Option CommandLine::Value(const std::string &name, unsigned &value,
                                       const std::string &help) {
  return Option(parser_->app.add_option(name, value, help));
}

CommandLine::Option CommandLine::Values(const std::string &name,
                                        std::vector<std::string> &values,
                                        const std::string &help) {
  return Option(parser_->app.add_option(name, values, help));
}

void CommandLine::Footer(const std::string &text) { parser_->app.footer(text); }

void CommandLine::HelpWords(const std::string &usage,
                            const std::string &options,
                            const std::string &group,
                            const std::string &helpDescription) {
  auto formatter = std::make_shared<CLI::Formatter>();
  formatter->label("Usage", usage);
  formatter->label("OPTIONS", options);
  parser_->app.formatter(formatter);
  parser_->app.option_defaults()->group(group);
  parser_->app.set_help_flag("-h,--help", helpDescription);
}

void CommandLine::VersionFlag(const std::string &name,
                              std::function<std::string()> version,
                              const std::string &help) {
  parser_->app.set_version_flag(name, std::move(version), help);
}

std::optional<int> CommandLine::Parse(int argc, char **argv) {
  CLI::App &app = parser_->app;
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    if (errors_ == Errors::kWithUsage) {
      std::cerr << app.get_name() << ": " << e.what() << "\n\n" << app.help();
    } else {
      app.exit(e);
    }
    return kUsageError;
  }
  return std::nullopt;
}

} // namespace os
