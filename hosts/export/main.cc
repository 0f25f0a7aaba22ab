// vornexport: writes the mail of the mail store of the platform root out to
// mbox files, Maildir folders or .eml files. See RunExport for the behaviour
// and `vornexport --help` for the usage.

#include "hosts/common/host_main.h"
#include "hosts/export/exporter.h"

int main(int argc, char** argv) {
  return vorn_host::HostMain("vornexport", argc, argv, vorn_export::RunExport);
}
