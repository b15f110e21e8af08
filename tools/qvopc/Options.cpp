// qvopc: the command line. One table of options and one of commands, servers included; the
// whole line is checked before any server is asked.
#include <cstdlib>
#include "QvopcTool.h"

namespace qvopc {

namespace {

const char kUsage[] =
    "usage: qvopc [--server PROGID] [--node HOST] [--trace FILE] COMMAND [ARGS] [OPTIONS]\n"
    "  status\n"
    "  browse [PATH] [--flat] [--filter PATTERN] [--da2]\n"
    "  props ITEM\n"
    "  read ITEM... [--device | --max-age MS | --async [--cancel]]\n"
    "  write ITEM VALUE [--quality Q] [--time now|YYYY-MM-DDTHH:MM:SS[.fff][Z]] | [--async [--cancel]]\n"
    "  watch ITEM... [--rate MS] [--deadband PCT] [--da1 | --keepalive MS] [--seconds N]\n"
    "  events [--seconds N] [--refresh] [--severity LO-HI] [--area PATH] [--source PATTERN]\n"
    "  areas [PATH]\n"
    "  ack SOURCE CONDITION [--comment TEXT] [--user NAME]\n"
    "  servers [--node HOST] [--da1 | --da2 | --da3 | --ae]\n"
    "VALUE takes the item's type; an array item takes 1,2,3. Q is a number (0xC0) or a name:\n"
    "good, bad, uncertain, or one with its sub-status as read prints it (bad-comm-failure,\n"
    "uncertain-sub-normal, good-local-override, ...), optionally +low, +high or +constant.\n"
    "Numbers are decimal or 0x-hex. Times are UTC. --server defaults to QvSrvKit.Demo;\n"
    "--trace FILE logs every COM call. --async reads or writes through IOPCAsyncIO2 (--cancel\n"
    "asks Cancel2 at once); ack's --user defaults to the logged-in user.\n"
    "Exit code: 0 everything succeeded (a success code such as OPC_S_CLAMP is named), 1 some\n"
    "items failed, 2 the server could not be reached, shut down or the connection died (watch and\n"
    "events say so and end), 3 the command line was wrong (no server was asked).\n";

} // namespace

int usage(const std::string& why)
{
    if (!why.empty()) fprintf(stderr, "qvopc: %s\n", why.c_str());
    fputs(kUsage, stderr);
    return kBadCommand;
}

namespace {

// Every option of every command; those not global belong to the commands that list them.
struct OptionInfo {
    const char* name;
    bool takesValue;
};
const OptionInfo kOptions[] = {
    {"--server", true}, {"--node", true},     {"--trace", true},   {"--flat", false},     {"--filter", true},
    {"--da2", false},   {"--device", false},  {"--max-age", true}, {"--quality", true},   {"--time", true},
    {"--rate", true},   {"--da1", false},     {"--seconds", true}, {"--keepalive", true}, {"--refresh", false},
    {"--comment", true}, {"--severity", true}, {"--area", true}, {"--source", true}, {"--da3", false},
    {"--ae", false},     {"--user", true},     {"--async", false}, {"--cancel", false}, {"--deadband", true},
};
const char kGlobalOptions[] = "--server --node --trace";

struct CommandInfo {
    const char* name;
    const char* options; // the options it takes beside the global ones
    size_t minArgs, maxArgs;
};
const size_t kAny = static_cast<size_t>(-1);
const CommandInfo kCommands[] = {
    {"status", "", 0, 0},
    {"browse", "--flat --filter --da2", 0, 1},
    {"props", "", 1, 1},
    {"read", "--device --max-age --async --cancel", 1, kAny},
    {"write", "--quality --time --async --cancel", 2, 2},
    {"watch", "--rate --deadband --da1 --seconds --keepalive", 1, kAny},
    {"events", "--seconds --refresh --severity --area --source", 0, 0},
    {"areas", "", 0, 1},
    {"ack", "--comment --user", 2, 2},
    {"servers", "--da1 --da2 --da3 --ae", 0, 0},
};
// Options that exclude each other.
const char* const kExclusive[][2] = {{"--device", "--max-age"}, {"--da1", "--keepalive"}, {"--async", "--max-age"},
                                     {"--async", "--device"},   {"--async", "--quality"}, {"--async", "--time"}};

bool listed(const char* list, const std::string& name)
{
    return (std::string(" ") + list + " ").find(" " + name + " ") != std::string::npos;
}

} // namespace

bool Options::has(const char* name) const
{
    for (const std::string& g : given)
        if (g == name) return true;
    return false;
}

namespace {

// One option's value into opts; false with the reason when it cannot be used.
bool setOption(Options& o, const std::string& name, const std::string& value, std::string* why)
{
    unsigned long n = 0;
    auto number = [&](unsigned long max) {
        if (parseNumber(value, max, &n)) return true;
        *why = name + " takes a number, not \"" + value + "\"";
        return false;
    };
    if (name == "--server") o.progId = value;
    else if (name == "--node") o.node = value;
    else if (name == "--trace") o.tracePath = value;
    else if (name == "--filter") o.filter = value;
    else if (name == "--flat") o.flat = true;
    else if (name == "--da2") o.da2 = true;
    else if (name == "--da3") o.da3 = true;
    else if (name == "--ae") o.ae = true;
    else if (name == "--async") o.async = true;
    else if (name == "--cancel") o.cancel = true;
    else if (name == "--user") o.user = value;
    else if (name == "--device") o.device = true;
    else if (name == "--da1") o.da1 = true;
    else if (name == "--refresh") o.refresh = true;
    else if (name == "--comment") o.comment = value;
    else if (name == "--area") o.area = value;
    else if (name == "--source") o.source = value;
    else if (name == "--severity") {
        unsigned long lo = 0, hi = 0;
        const size_t dash = value.find('-');
        if (dash == std::string::npos || !parseNumber(value.substr(0, dash), 1000, &lo) ||
            !parseNumber(value.substr(dash + 1), 1000, &hi) || lo > hi) {
            *why = "--severity takes LO-HI (1 to 1000), not \"" + value + "\"";
            return false;
        }
        o.lowSeverity = lo;
        o.highSeverity = hi;
    }
    else if (name == "--max-age") { if (!number(0xFFFFFFFFul)) return false; o.maxAge = n; }
    else if (name == "--rate") { if (!number(0xFFFFFFFFul)) return false; o.rate = n; }
    else if (name == "--keepalive") { if (!number(0xFFFFFFFFul)) return false; o.keepAlive = n; }
    else if (name == "--seconds") { if (!number(24 * 3600)) return false; o.seconds = static_cast<int>(n); }
    else if (name == "--deadband") {
        char* end = nullptr;
        const double pct = strtod(value.c_str(), &end);
        if (value.empty() || *end || !(pct >= 0.0 && pct <= 100.0)) {
            *why = "--deadband takes a percentage from 0 to 100, not \"" + value + "\"";
            return false;
        }
        o.deadband = static_cast<float>(pct);
    }
    else if (name == "--quality") {
        WORD q = 0;
        if (!parseQuality(value, &q)) {
            *why = "--quality takes a number or a quality name (good, bad, uncertain, bad-comm-failure, ...), not \"" +
                   value + "\"";
            return false;
        }
        o.quality = value;
    } else if (name == "--time") {
        FILETIME ft;
        if (!parseTime(value, &ft)) {
            *why = "--time takes now or YYYY-MM-DDTHH:MM:SS[.fff][Z] (UTC), not \"" + value + "\"";
            return false;
        }
        o.time = value;
    }
    return true;
}

} // namespace

int parseCommandLine(int argc, char** argv, Options& o, std::string& cmd, std::vector<std::string>& args)
{
    std::string why;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h" || a == "-?" || a == "/?" || (cmd.empty() && a == "help")) {
            fputs(kUsage, stdout);
            return -1;
        }
        if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            const OptionInfo* known = nullptr;
            for (const OptionInfo& s : kOptions)
                if (a == s.name) known = &s;
            if (!known) return usage("unknown option " + a);
            if (known->takesValue && i + 1 >= argc) return usage(a + " needs a value");
            if (!setOption(o, a, known->takesValue ? argv[++i] : "", &why)) return usage(why);
            o.given.push_back(a);
        } else if (cmd.empty()) {
            cmd = a;
        } else {
            args.push_back(a);
        }
    }
    if (cmd.empty()) return usage("no command");
    const CommandInfo* c = nullptr;
    for (const CommandInfo& s : kCommands)
        if (cmd == s.name) c = &s;
    if (!c) return usage("unknown command " + cmd);
    if (args.size() < c->minArgs || args.size() > c->maxArgs)
        return usage(cmd + (args.size() < c->minArgs ? ": too few arguments" : ": too many arguments"));
    for (const std::string& g : o.given)
        if (!listed(kGlobalOptions, g) && !listed(c->options, g)) return usage(g + " does not apply to " + cmd);
    for (const auto& pair : kExclusive)
        if (o.has(pair[0]) && o.has(pair[1]))
            return usage(std::string(pair[0]) + " and " + pair[1] + " do not go together");
    if (o.cancel && !o.async) return usage("--cancel goes with --async");
    return 0;
}

} // namespace qvopc
