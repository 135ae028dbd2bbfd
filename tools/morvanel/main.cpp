// The morvanel command: render scripts to audio files and check them, as any host would, through
// the public C API only.
#include <CLI/CLI.hpp>

#include "commands.h"

int main(int argc, char** argv) {
    using namespace morvanel::tool;
    CLI::App app{"Morvanel: render and check sound scripts"};
    app.require_subcommand(1);

    RenderOptions render;
    std::string seconds;
    long long seed = -1;
    CLI::App* renderCommand = app.add_subcommand("render", "Render a script to an audio file");
    renderCommand->add_option("script", render.script, "Script file")->required();
    renderCommand->add_option("-o,--output", render.output, "Output file (.wav, .flac, .ogg, .aiff); default: the script's name with .wav");
    renderCommand->add_option("--rate", render.rate, "Sample rate in Hz")->capture_default_str()->check(CLI::Range(1, 1000000));
    renderCommand->add_option("--voice", render.voices, "Start text of a voice to start (repeatable), e.g. lead:60");
    auto* secondsOption = renderCommand->add_option("--seconds", seconds, "Render exactly this many seconds")->check(CLI::PositiveNumber);
    renderCommand->add_option("--max-seconds", render.maxSeconds, "Stop after this many seconds when voices never end")
        ->capture_default_str()->check(CLI::PositiveNumber)->excludes(secondsOption);
    renderCommand->add_option("--bits", render.bits, "Sample format: 16, 24 or 32f (default 32f for WAV and AIFF, 24 for FLAC)")
        ->check(CLI::IsMember({"16", "24", "32f"}));
    renderCommand->add_option("--seed", seed, "Seed of the random generator (noise), for repeatable renders")->check(CLI::Range(0LL, 4294967295LL));
    double releaseAfter = -1.0;
    renderCommand->add_option("--release-after", releaseAfter, "Release the --voice voices after this many seconds")
        ->check(CLI::NonNegativeNumber);
    renderCommand->add_flag("--normalize", render.normalize, "Scale the peak to -1 dBFS");
    renderCommand->add_flag("-q,--quiet", render.quiet, "No progress bar");

    CheckOptions check;
    CLI::App* checkCommand = app.add_subcommand("check", "Compile scripts and report errors; exit status 1 when any fails");
    checkCommand->add_option("scripts", check.scripts, "Script files")->required();
    checkCommand->add_flag("--json", check.json, "Print the box report (JSON) on standard output");
    checkCommand->add_option("--rate", check.rate, "Sample rate in Hz for unit conversions")->capture_default_str()->check(CLI::Range(1, 1000000));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    }

    OutputRouting routing;
    if (*renderCommand) {
        if (!seconds.empty()) render.seconds = std::stod(seconds);
        if (seed >= 0) render.seed = static_cast<unsigned>(seed);
        if (releaseAfter >= 0.0) render.releaseAfter = releaseAfter;
        return RunRender(render, routing);
    }
    return RunCheck(check, routing);
}
