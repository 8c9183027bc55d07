// The player's main window. This first part holds its command-line handling; the window itself
// builds on it.
#pragma once

#include <QPoint>
#include <QSize>
#include <QString>
#include <string>

class networkCfg;
class recordCfg;

// The argument after the first one equal to `option` in [begin, end); null when the option is
// absent or is the last argument.
char *getCmdOption(char **begin, char **end, const std::string &option);

// Applies a "-url" value to the network section (memory only). True when the value selects a
// stream to start.
bool apply_url_option(const QString &value, networkCfg *net);

// What the command line asks of the window once the configuration has been changed.
struct CommandLine {
    bool start = false; // start the network stream (recording too when "-rec" worked)
    bool resize = false;
    QSize size;
    bool move = false;
    QPoint pos;
};

// Reads "-url", "-size", "-pos" and "-rec" (the last only when a stream starts) and applies
// them to the configuration sections in memory; a "-rec" directory is created when missing.
CommandLine parse_command_line(int argc, char **argv, networkCfg *net, recordCfg *rec);
