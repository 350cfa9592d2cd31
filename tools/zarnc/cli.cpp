#include "cli.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "listing.h"
#include "output_dir.h"
#include "pipeline.h"
#include "reference_command.h"
#include "report.h"
#include "time_report.h"
#include "zarn_compiler/encoder.h"
#include "zarn_files/graph_file.h"
#include "zarn_files/json_write.h"
#include "zarn_files/lowered_file.h"
#include "zarn_files/schedule_file.h"
#include "zarn_files/work_limits.h"
#include "zarn_platform/format.h"
#include "zarn_platform/log.h"

namespace zarnc {
namespace {

using zarn_files::Json;
using zarn_platform::format;

/// Option values as typed; numbers are parsed by zarnc itself (decimal or 0x-hexadecimal, never
/// octal), so that every bad value gets the same kind of message.
struct EncoderFlags {
  std::string sequence = "32";
  std::string hidden = "64";
  std::string heads = "4";
  std::string feed_forward = "256";
};

struct OptionFlags {
  std::string tile_count;
  std::string exchange_base;
  std::string exchange_limit;
  std::string data_base;
  std::string data_limit;
};

struct OutputFlags {
  std::vector<std::string> emit;
  std::string format = "text";
  std::string output;
  std::string color = "auto";
  /// Print the time report on standard error.
  bool time = false;
};

/// A usage error: the message, printed after "zarnc: error: ".
struct UsageError {
  std::string message;
};

template <typename T>
using Checked = std::expected<T, UsageError>;

Checked<std::uint64_t> parse_number(std::string_view flag, std::string_view text, std::uint64_t max) {
  const auto bad = [&] {
    return std::unexpected(UsageError{
        format("{}: expected a decimal or 0x-prefixed hexadecimal number, found \"{}\"", flag, text)});
  };
  unsigned base = 10;
  std::string_view digits = text;
  if (digits.starts_with("0x") || digits.starts_with("0X")) {
    base = 16;
    digits.remove_prefix(2);
  }
  if (digits.empty()) return bad();
  std::uint64_t value = 0;
  for (const char c : digits) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return bad();
    }
    if (value > (max - digit) / base) {
      return std::unexpected(UsageError{format("{}: {} is larger than the largest accepted value {}", flag, text, max)});
    }
    value = value * base + digit;
  }
  return value;
}

template <typename T>
std::optional<UsageError> parse_into(T& target, std::string_view flag, const std::string& text) {
  if (text.empty()) return std::nullopt;  // not given: keep the default
  auto value = parse_number(flag, text, std::numeric_limits<T>::max());
  if (!value) return value.error();
  target = static_cast<T>(*value);
  return std::nullopt;
}

Checked<zarn_compiler::CompilerOptions> compiler_options(const OptionFlags& flags) {
  zarn_compiler::CompilerOptions options;
  for (auto error : {parse_into(options.tile_count, "--tile-count", flags.tile_count),
                     parse_into(options.exchange_base, "--exchange-base", flags.exchange_base),
                     parse_into(options.exchange_limit, "--exchange-limit", flags.exchange_limit),
                     parse_into(options.data_base, "--data-base", flags.data_base),
                     parse_into(options.data_limit, "--data-limit", flags.data_limit)}) {
    if (error) return std::unexpected(*error);
  }
  return options;
}

Checked<zarn_compiler::EncoderConfig> encoder_config(const EncoderFlags& flags) {
  zarn_compiler::EncoderConfig config;
  for (auto error : {parse_into(config.sequence, "--sequence", flags.sequence),
                     parse_into(config.hidden, "--hidden", flags.hidden),
                     parse_into(config.heads, "--heads", flags.heads),
                     parse_into(config.feed_forward, "--feed-forward", flags.feed_forward)}) {
    if (error) return std::unexpected(*error);
  }
  return config;
}

/// What goes where for one run.
struct OutputPlan {
  /// The stages written (to files, or to standard output as listings or one document).
  StageSet emitted;
  /// Print the text report on standard output.
  bool report = false;
  /// Print the emitted stages on standard output.
  bool print_stages = false;
  bool json = false;
};

Checked<OutputPlan> output_plan(const OutputFlags& flags) {
  OutputPlan plan;
  plan.json = flags.format == "json";
  for (const auto& name : flags.emit) {
    if (name == "all") {
      plan.emitted = StageSet::all();
      continue;
    }
    bool known = false;
    for (const Stage stage : kStages) {
      if (name == stage_name(stage)) {
        plan.emitted.add(stage);
        known = true;
      }
    }
    if (!known) {
      return std::unexpected(UsageError{format(
          "--emit: unknown stage \"{}\" (expected graph, schedule, commands, exchanges, programs or all)", name)});
    }
  }
  const bool emit_given = !flags.emit.empty();
  if (!emit_given) {
    plan.report = !plan.json;
    // Files for -o, or the whole document for --format json: every stage.
    if (!flags.output.empty() || plan.json) plan.emitted = StageSet::all();
  }
  plan.print_stages = flags.output.empty() && !plan.report;
  return plan;
}

bool color_wanted(const std::string& choice, int descriptor) {
  if (choice == "always") return true;
  if (choice == "never") return false;
  const char* no_color = std::getenv("NO_COLOR");
  const char* term = std::getenv("TERM");
  return isatty(descriptor) == 1 && (no_color == nullptr || *no_color == '\0') &&
         !(term != nullptr && std::string_view(term) == "dumb");
}

/// Writes all of `text` to standard output; false when that failed (a full disk, a closed pipe).
bool print(const std::string& text) {
  if (text.empty()) return true;
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
}

void print_error(std::string_view text) {
  const Style style{color_wanted("auto", STDERR_FILENO)};
  const std::string line = format("zarnc: {} {}\n", style.red("error:"), text);
  std::fwrite(line.data(), 1, line.size(), stderr);
}

std::vector<OutputFile> output_files(const Results& results, StageSet emitted, std::string_view command) {
  std::vector<OutputFile> files;
  Json written = Json::array();
  const auto add_json = [&](Stage stage, std::string name, const Json& document) {
    files.push_back(OutputFile{std::move(name), zarn_files::write_json(document)});
    written.push_back(std::string(stage_name(stage)));
  };
  if (emitted.has(Stage::Graph) && results.graph) {
    add_json(Stage::Graph, "graph.json", zarn_files::graph_file_json(*results.graph));
  }
  if (emitted.has(Stage::Schedule) && results.schedule) {
    add_json(Stage::Schedule, "schedule.json", zarn_files::schedule_json(*results.schedule));
  }
  if (emitted.has(Stage::Commands) && results.commands) {
    for (std::size_t tile = 0; tile < results.commands->size(); ++tile) {
      std::string bytes;
      for (const auto& tile_command : (*results.commands)[tile]) {
        const auto encoded = tile_command.to_le_bytes();
        bytes.append(reinterpret_cast<const char*>(encoded.data()), encoded.size());
      }
      char name[48];
      std::snprintf(name, sizeof name, "commands/tile-%04zu.bin", tile);
      files.push_back(OutputFile{name, std::move(bytes)});
    }
    written.push_back("commands");
  }
  if (emitted.has(Stage::Exchanges) && results.exchanges) {
    add_json(Stage::Exchanges, "exchanges.json", zarn_files::exchanges_json(*results.exchanges));
  }
  if (emitted.has(Stage::Programs) && results.programs) {
    add_json(Stage::Programs, "programs.json", zarn_files::programs_json(*results.programs));
  }
  files.push_back(OutputFile{kManifestName, zarn_files::write_json(Json{{"zarnc", ZARNC_VERSION},
                                                                          {"command", std::string(command)},
                                                                          {"title", results.title},
                                                                          {"stages", std::move(written)}})});
  return files;
}

/// Prints and writes what the run produced; returns the exit status.
int finish(const Results& results, const OutputPlan& plan, const OutputFlags& flags, std::string_view command) {
  const Style style{color_wanted(flags.color, STDOUT_FILENO)};
  std::string out;
  if (plan.report) {
    out = render_report(results, style);
  } else if (plan.print_stages) {
    if (plan.json) {
      out = zarn_files::write_json(results_document(results, plan.emitted));
    } else {
      for (const Stage stage : kStages) {
        if (!plan.emitted.has(stage)) continue;
        const std::string listing = render_listing(results, stage, style);
        if (listing.empty()) continue;
        if (!out.empty()) out += '\n';
        out += listing;
      }
    }
  }
  if (!results.failure && !flags.output.empty()) {
    auto written = write_output_directory(flags.output, output_files(results, plan.emitted, command));
    if (!written) {
      print_error(written.error().message);
      return kExitBadInput;
    }
  }
  if (!print(out)) {
    print_error("cannot write to standard output");
    return kExitBadInput;
  }
  if (results.failure) {
    print_error(format("{} stage failed: {}", stage_name(results.failure->stage),
                       zarn_compiler::to_string(results.failure->error)));
    return kExitFailure;
  }
  return kExitSuccess;
}

/// Checks the output flags and the folder before any work is done.
Checked<OutputPlan> prepare_output(const OutputFlags& flags, bool output_given) {
  if (output_given && flags.output.empty()) return std::unexpected(UsageError{"-o: name a folder"});
  auto plan = output_plan(flags);
  if (!plan) return plan;
  if (!flags.output.empty()) {
    auto usable = check_output_directory(flags.output);
    if (!usable) return std::unexpected(UsageError{usable.error().message});
  }
  return plan;
}

StageSet wanted_stages(const OutputPlan& plan) { return plan.report ? StageSet::all() : plan.emitted; }

/// Refuses a run whose stages would make more records than zarnc allows (docs/robustness.md): the
/// schedule is always made, the lowerings only when wanted.
std::optional<UsageError> check_work(std::string_view what, const zarn_files::Work& work, StageSet wanted,
                                     std::uint16_t tile_count) {
  std::uint64_t records = work.schedule;
  if (wanted.has(Stage::Commands)) records += work.commands;
  if (wanted.has(Stage::Exchanges)) records += work.exchanges;
  if (wanted.has(Stage::Programs)) records += work.programs;
  if (records <= zarn_files::kMaxWorkRecords) return std::nullopt;
  return UsageError{format("{}: too large: the stages asked for would make {} records (SRAM regions, transfers, "
                           "commands and program steps) over {} tiles; zarnc makes at most {}",
                           what, records, tile_count, zarn_files::kMaxWorkRecords)};
}

/// Adds the output flags; returns the -o option, whose count tells "-o ''" from no -o.
CLI::Option* add_output_flags(CLI::App& command, OutputFlags& flags) {
  command.add_option("--emit", flags.emit,
                     "Stages to output, comma-separated: graph, schedule, commands, exchanges, programs, all "
                     "(default: the text report)")
      ->delimiter(',')
      ->type_name("LIST");
  command.add_option("--format", flags.format, "Output format of the emitted stages: text or json")
      ->check(CLI::IsMember({"text", "json"}).description(""))
      ->type_name("text|json")
      ->capture_default_str();
  CLI::Option* output = command.add_option("-o,--output", flags.output,
                                           "Write every emitted stage (all without --emit) as files into DIR, atomically")
                            ->type_name("DIR");
  command.add_option("--color", flags.color, "Colour on standard output: auto (only on a terminal), always, never")
      ->check(CLI::IsMember({"auto", "always", "never"}).description(""))
      ->type_name("WHEN")
      ->capture_default_str();
  command.add_flag("--time", flags.time,
                   "After the run, print the wall time of every stage and its share of the total on standard error");
  return output;
}

void add_option_flags(CLI::App& command, OptionFlags& flags) {
  const zarn_compiler::CompilerOptions defaults;
  command.add_option("--tile-count", flags.tile_count, format("Logical tiles to use (default {})", defaults.tile_count))
      ->type_name("N");
  command.add_option("--exchange-base", flags.exchange_base,
                     format("First byte of the exchange window (default {})", hex_text(defaults.exchange_base)))
      ->type_name("ADDRESS");
  command.add_option("--exchange-limit", flags.exchange_limit,
                     format("End of the exchange window (default {})", hex_text(defaults.exchange_limit)))
      ->type_name("ADDRESS");
  command.add_option("--data-base", flags.data_base,
                     format("First byte of the data window (default {})", hex_text(defaults.data_base)))
      ->type_name("ADDRESS");
  command.add_option("--data-limit", flags.data_limit,
                     format("End of the data window (default {})", hex_text(defaults.data_limit)))
      ->type_name("ADDRESS");
}

void add_encoder_flags(CLI::App& command, EncoderFlags& flags) {
  command.add_option("--sequence", flags.sequence, "Token rows")->type_name("N")->capture_default_str();
  command.add_option("--hidden", flags.hidden, "Model width")->type_name("N")->capture_default_str();
  command.add_option("--heads", flags.heads, "Attention heads; must divide the width")
      ->type_name("N")
      ->capture_default_str();
  command.add_option("--feed-forward", flags.feed_forward, "Feed-forward width")->type_name("N")->capture_default_str();
}

std::string encoder_title(const zarn_compiler::EncoderConfig& config) {
  return format("encoder layer (sequence {}, hidden {}, heads {}, feed_forward {})", config.sequence, config.hidden,
                config.heads, config.feed_forward);
}

/// Installs the stderr log sink as ZARN_LOG asks (default: warnings and errors).
bool install_logging() {
  const char* text = std::getenv("ZARN_LOG");
  const auto filter = zarn_platform::parse_log_filter(text != nullptr ? text : "warn");
  if (!filter) {
    print_error("ZARN_LOG must be one of off, error, warn, info, debug, trace");
    return false;
  }
  if (filter->max_level) zarn_platform::install_log_sink(zarn_platform::stderr_log_sink(), *filter->max_level);
  return true;
}

constexpr const char* kFooter =
    "Exit status: 0 on success; 1 when compiling, lowering or the reference evaluation fails; 2 for a\n"
    "usage error or a malformed, unreadable or unwritable file. ZARN_LOG (off, error, warn, info, debug,\n"
    "trace; default warn) selects the log events printed on standard error. See docs/cli.md.";

}  // namespace

int run(int argc, char** argv) {
  CLI::App app{"zarnc: the ahead-of-time compiler for the tile processor", "zarnc"};
  app.set_version_flag("--version", std::string("zarnc ") + ZARNC_VERSION, "Print the version and exit");
  app.require_subcommand(1);
  app.footer(kFooter);

  EncoderFlags encoder_flags;
  OptionFlags option_flags;
  OutputFlags output_flags;
  std::string input_path;
  std::string reference_input;
  std::string reference_format = "text";

  CLI::App* encoder = app.add_subcommand("encoder", "Compile the built-in transformer-encoder layer");
  add_encoder_flags(*encoder, encoder_flags);
  add_option_flags(*encoder, option_flags);
  std::vector<CLI::Option*> output_options{add_output_flags(*encoder, output_flags)};

  CLI::App* compile = app.add_subcommand("compile", "Compile a graph file (form 1: builder steps; form 2: a graph record)");
  compile->add_option("GRAPH", input_path, "The graph file (JSON)")->required()->type_name("GRAPH.json");
  add_option_flags(*compile, option_flags);
  output_options.push_back(add_output_flags(*compile, output_flags));

  CLI::App* lower = app.add_subcommand("lower", "Lower a schedule file for the 1472-tile K1472 board");
  lower->add_option("SCHEDULE", input_path, "The schedule file (JSON), as compile writes it or built by hand")
      ->required()
      ->type_name("SCHEDULE.json");
  output_options.push_back(add_output_flags(*lower, output_flags));

  CLI::App* reference = app.add_subcommand("reference", "Evaluate the encoder layer on the host and print the outputs");
  add_encoder_flags(*reference, encoder_flags);
  reference->add_option("--input", reference_input,
                        "A JSON array of sequence x hidden numbers (default: the ramp (i - 9) / 16)")
      ->type_name("FILE");
  reference->add_option("--format", reference_format, "Output format: text or json")
      ->check(CLI::IsMember({"text", "json"}).description(""))
      ->type_name("text|json")
      ->capture_default_str();

  for (CLI::App* command : {encoder, compile, lower, reference}) command->footer(kFooter);

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& success) {
    std::ostringstream out;
    std::ostringstream err;
    app.exit(success, out, err);
    return print(out.str()) ? kExitSuccess : kExitBadInput;
  } catch (const CLI::ParseError& error) {
    print_error(format("{}\nRun 'zarnc --help' or 'zarnc COMMAND --help' for usage.", error.what()));
    return kExitBadInput;
  }

  if (!install_logging()) return kExitBadInput;

  if (reference->parsed()) {
    auto config = encoder_config(encoder_flags);
    if (!config) {
      print_error(config.error().message);
      return kExitBadInput;
    }
    return run_reference(*config, reference_input, reference_format == "json");
  }

  bool output_given = false;
  for (const CLI::Option* option : output_options) output_given = output_given || option->count() > 0;
  auto plan = prepare_output(output_flags, output_given);
  if (!plan) {
    print_error(plan.error().message);
    return kExitBadInput;
  }

  // From here on every stage is timed when --time is given; the report is printed last, after
  // everything the run prints otherwise, which it leaves unchanged.
  TimeReport report;
  TimeReport* const times = output_flags.time ? &report : nullptr;
  const auto done = [&](int status) {
    if (times != nullptr) {
      const std::string text = report.render();
      std::fwrite(text.data(), 1, text.size(), stderr);
    }
    return status;
  };

  if (lower->parsed()) {
    auto schedule = timed(times, "read input", [&]() -> Checked<zarn_compiler::Schedule> {
      auto document = zarn_files::read_json_file(input_path);
      if (!document) return std::unexpected(UsageError{document.error().message});
      auto read = zarn_files::read_schedule(zarn_files::root_node(*document, input_path));
      if (!read) return std::unexpected(UsageError{read.error().message});
      return std::move(*read);
    });
    if (!schedule) {
      print_error(schedule.error().message);
      return done(kExitBadInput);
    }
    if (auto excess = check_work(input_path, zarn_files::lowering_work(*schedule), wanted_stages(*plan),
                                 schedule->tile_count)) {
      print_error(excess->message);
      return done(kExitBadInput);
    }
    auto results = run_lower(LowerInput{input_path, std::move(*schedule)}, wanted_stages(*plan), times);
    return done(timed(times, "output", [&] { return finish(results, *plan, output_flags, "lower"); }));
  }

  auto options = compiler_options(option_flags);
  if (!options) {
    print_error(options.error().message);
    return kExitBadInput;
  }
  CompileInput input{"", std::nullopt, zarn_compiler::Graph{}, *options};
  if (encoder->parsed()) {
    auto config = encoder_config(encoder_flags);
    if (!config) {
      print_error(config.error().message);
      return kExitBadInput;
    }
    input.title = encoder_title(*config);
    input.encoder = *config;
    input.graph = timed(times, "graph", [&] { return zarn_compiler::encoder_graph(*config); });
  } else {
    auto document = timed(times, "read input", [&] { return zarn_files::read_json_file(input_path); });
    if (!document) {
      print_error(document.error().message);
      return done(kExitBadInput);
    }
    auto graph =
        timed(times, "graph", [&] { return zarn_files::read_graph_file(zarn_files::root_node(*document, input_path)); });
    if (!graph) {
      print_error(graph.error().message);
      return done(kExitBadInput);
    }
    input.title = input_path;
    input.graph = std::move(*graph);
  }
  if (input.graph) {
    if (auto excess = check_work(input.title, zarn_files::compile_work(*input.graph, input.options),
                                 wanted_stages(*plan), input.options.tile_count)) {
      print_error(excess->message);
      return done(kExitBadInput);
    }
  }
  auto results = run_compile(std::move(input), wanted_stages(*plan), times);
  return done(timed(times, "output",
                    [&] { return finish(results, *plan, output_flags, encoder->parsed() ? "encoder" : "compile"); }));
}

}  // namespace zarnc
