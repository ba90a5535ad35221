// The process entry: reads the verb and runs INSTALL, REMOVE, RUN or DEBUG.
// Main thread only.
#pragma once

// Returns the exit code for INSTALL, REMOVE and the usage text; RUN and DEBUG
// end the process themselves.
int AgentEntry(int argc, char** argv);
