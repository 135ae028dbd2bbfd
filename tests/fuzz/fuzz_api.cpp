// Fuzz target: bytes decoded into a sequence of calls of every export on a few instances: parses
// of scripts from a small dictionary, starts, releases, stops, MIDI, variables, responses,
// reports, resets, buffers of varying sizes, new and destroyed instances.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "morvanel.h"

namespace {

const char* const kScripts[] = {
    "beep = dur(200) { @loop sqr(@440) }\nrun(beep)\n",
    "key = { vol(%v) @loop sqr(#%n) @release fadeout(50) dur(50) { @loop sqr(#%n) } }\nmidikey(C3, C6, key)\n",
    "global(%a, 1)\nw = while(%a) { @loop saw(%a * 10 + 2) }\nmidikey(60, w)\n",
    "[k group(g) maxinst(2, 1)] = dur(30) { @loop ? }\n[s group(g) maxinst(1)] = { @loop noise17e(4) }\n"
    "midikey(36, 38, k)\n",
    "z = { @loop %a = %a + 1 }\nrun(z)\n",
    "deep = { deep }\nrun(deep)\n",
    "s = { spawn out(1) @loop push(1) pop(%a) }\nrun(s)\n",
    "broken = { sqr(4) ]",
    "",
    "ccvar(74, f)\nf2 = { @loop out(%f) }\nmidikey(0, 127, f2)\n",
    "x = { `9_0-5?` }\nrun(x) run(x) run(x)\n",
    "p:%q = { print(%q) out(%q) }\nrun(p)\n",
};
constexpr int kScriptCount = sizeof kScripts / sizeof kScripts[0];

const char* const kStarts[] = {"beep", "key", "w", "k", "s", "z", "deep", "p:3", "x", "nosuch", "b:x:2",
                               "[k", "k:c4", "f2:%f"};
constexpr int kStartCount = sizeof kStarts / sizeof kStarts[0];

const char* const kVariables[] = {"%a", "%f", "%q", "a", "", "%"};

class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data(data), size(size) {}
    bool Empty() const { return position >= size; }
    uint8_t Next() { return position < size ? data[position++] : 0; }
    int Signed() { return static_cast<int8_t>(Next()); }

private:
    const uint8_t* data;
    size_t size;
    size_t position = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    morvanel::fuzz::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes bytes(data, size);
    std::srand(1);
    std::vector<int> instances{NewInstance(48000)};
    std::vector<int> serials;
    std::vector<float> buffer(2048);
    int steps = 0;
    while (!bytes.Empty() && ++steps < 200) {
        const int target = instances.empty() ? -1 : instances[bytes.Next() % instances.size()];
        switch (bytes.Next() % 18) {
            case 0: serials.push_back(ParseString(kScripts[bytes.Next() % kScriptCount], target)); break;
            case 1: serials.push_back(StartVoice(kStarts[bytes.Next() % kStartCount], target)); break;
            case 2: ReleaseVoice(serials.empty() ? bytes.Signed() : serials[bytes.Next() % serials.size()], target); break;
            case 3: StopVoice(serials.empty() ? bytes.Signed() : serials[bytes.Next() % serials.size()], target); break;
            case 4: StopAllVoices(target); break;
            case 5: MidiNoteOn(bytes.Next(), bytes.Signed(), target); break;
            case 6: MidiNoteOff(bytes.Next(), target); break;
            case 7: SetVariable(kVariables[bytes.Next() % 6], static_cast<float>(bytes.Signed()) / 8.0f, target); break;
            case 8: GetResponseString(serials.empty() ? 0 : serials[bytes.Next() % serials.size()], target); break;
            case 9: GetResponseString(0, target); break;
            case 10: ReportBoxesAsJson(target); break;
            case 11: ResetEngine(target); break;
            case 12:
            case 13: GetBuffer(bytes.Next() * 2 - 64, buffer.data(), target); break;
            case 14:
                if (instances.size() < 4) instances.push_back(NewInstance(8000 + 1000 * bytes.Next()));
                break;
            case 15:
                if (!instances.empty()) {
                    const size_t which = bytes.Next() % instances.size();
                    DestroyInstance(instances[which]);
                    instances.erase(instances.begin() + static_cast<long>(which));
                }
                break;
            case 16: MorvanelActiveVoices(target); break;
            case 17: GetBuffer(1, buffer.data(), bytes.Signed()); break;
        }
    }
    for (int id : instances) {
        GetBuffer(512, buffer.data(), id);
        DestroyInstance(id);
    }
    return 0;
}
