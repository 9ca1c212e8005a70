#include "os/command_line.h"

#include <CLI/CLI.hpp>

#include <iostream>

namespace os {

namespace {

constexpr int kUsageError = 2;

}  // namespace

CommandLine::Option& CommandLine::Option::TypeName(const std::string& name) {
  option_->type_name(name);
  return *this;
}

CommandLine::Option& CommandLine::Option::ShowDefault() {
  option_->capture_default_str();
  return *this;
}

CommandLine::Option& CommandLine::Option::Range(int min, int max) {
  option_->check(CLI::Range(min, max));
  return *this;
}

CommandLine::Option& CommandLine::Option::NotNegative() {
  CLI::Validator notNegative = CLI::Range(0, 1 << 30);
  notNegative.description("");  // the type column says MS or N, without the validator's name
  option_->check(notNegative);
  return *this;
}

CommandLine::Option& CommandLine::Option::Check(std::function<std::string(const std::string&)> check) {
  option_->check(std::move(check));
  return *this;
}

CommandLine::Option& CommandLine::Option::Needs(const std::string& other) {
  option_->needs(other);
  return *this;
}

CommandLine::CommandLine(const std::string& description, const std::string& name, Errors errors)
    : app_(std::make_unique<CLI::App>(description, name)), errors_(errors) {}

CommandLine::~CommandLine() = default;

CommandLine::Option CommandLine::Flag(const std::string& name, bool& value, const std::string& help) {
  return Option(app_->add_flag(name, value, help));
}

CommandLine::Option CommandLine::Value(const std::string& name, std::string& value, const std::string& help) {
  return Option(app_->add_option(name, value, help));
}

CommandLine::Option CommandLine::Value(const std::string& name, int& value, const std::string& help) {
  return Option(app_->add_option(name, value, help));
}

CommandLine::Option CommandLine::Value(const std::string& name, unsigned& value, const std::string& help) {
  return Option(app_->add_option(name, value, help));
}

CommandLine::Option CommandLine::Values(const std::string& name, std::vector<std::string>& values,
                                        const std::string& help) {
  return Option(app_->add_option(name, values, help));
}

void CommandLine::Footer(const std::string& text) { app_->footer(text); }

void CommandLine::HelpWords(const std::string& usage, const std::string& options, const std::string& group,
                            const std::string& helpDescription) {
  auto formatter = std::make_shared<CLI::Formatter>();
  formatter->label("Usage", usage);
  formatter->label("OPTIONS", options);
  app_->formatter(formatter);
  app_->option_defaults()->group(group);
  app_->set_help_flag("-h,--help", helpDescription);
}

void CommandLine::VersionFlag(const std::string& name, std::function<std::string()> version,
                              const std::string& help) {
  app_->set_version_flag(name, std::move(version), help);
}

std::optional<int> CommandLine::Parse(int argc, char** argv) {
  try {
    app_->parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app_->exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app_->exit(e);
  } catch (const CLI::ParseError& e) {
    if (errors_ == Errors::kWithUsage) {
      std::cerr << app_->get_name() << ": " << e.what() << "\n\n" << app_->help();
    } else {
      app_->exit(e);
    }
    return kUsageError;
  }
  return std::nullopt;
}

}  // namespace os
