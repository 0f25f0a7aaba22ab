// vornimport: brings existing mail (mbox files, Maildir folders, .eml files)
// into the mail store of the platform root. See RunImport for the behaviour
// and `vornimport --help` for the usage.

#include "hosts/common/host_main.h"
#include "hosts/import/importer.h"

int main(int argc, char** argv) {
  return vorn_host::HostMain("vornimport", argc, argv, vorn_import::RunImport);
}
