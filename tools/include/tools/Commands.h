#pragma once
// The subcommands of the vok toolbox. Each takes the arguments after its own
// name (argv[0] is the subcommand) and returns the process exit status.

int RunPortsCommand(int argc, char** argv);
int RunSimCommand(int argc, char** argv);
int RunQueryCommand(int argc, char** argv);
int RunProbeCommand(int argc, char** argv);
int RunConfigCommand(int argc, char** argv);
int RunOpcCommand(int argc, char** argv);
int RunDiscoverCommand(int argc, char** argv);
int RunUaCommand(int argc, char** argv);
int RunHistoryCommand(int argc, char** argv);
