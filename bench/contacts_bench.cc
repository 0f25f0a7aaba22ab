// Lists 10,000 contacts through vornwab.so as the session does (WABOpen,
// GetPAB, OpenEntry, GetContentsTable, GetRowCount, one QueryRows, every
// buffer freed) and prints the time it takes: once from one file holding every
// card, once from one file per card. The cards mix vCard 2.1 (quoted-printable
// Latin-1), 3.0 and 4.0 with the properties contact tools usually write.
//
// Usage: contacts_bench [runs]   (default 9 timed runs after one warm-up)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "platform/loader.h"
#include "platform/wab.h"
#include "runtime/com_ptr.h"

namespace {

namespace fs = std::filesystem;

constexpr int kContacts = 10000;

const char* const kGiven[] = {"Anna", "Björn", "Chloé", "David", "Eva", "François", "Greta",
                              "Henrik", "Inès", "Jürgen", "Karin", "Lars"};
const char* const kFamily[] = {"Andersson", "Müller", "Dupont", "García", "Østergaard", "Smith",
                               "Nowak", "Rossi", "Öztürk", "Brown", "Lefèvre", "Jensen"};

// The Latin-1 quoted-printable form of UTF-8 text (Latin-1 characters only).
std::string QuotedPrintableLatin1(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0xC2 && c <= 0xC3 && i + 1 < utf8.size()) {
      c = static_cast<unsigned char>(((c & 0x1F) << 6) | (utf8[++i] & 0x3F));
    }
    if (c >= 0x80 || c == '=') {
      char hex[4];
      std::snprintf(hex, sizeof hex, "=%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string MakeCard(int i) {
  const std::string given = kGiven[i % 12];
  const std::string family = kFamily[(i / 12) % 12];
  const std::string number = std::to_string(i);
  const std::string mail = "person" + number + "@example.org";
  std::string card = "BEGIN:VCARD\r\n";
  switch (i % 3) {
    case 0:
      card += "VERSION:2.1\r\n";
      card += "N;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:" + QuotedPrintableLatin1(family) +
              ";" + QuotedPrintableLatin1(given) + ";;;\r\n";
      card += "FN;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:" +
              QuotedPrintableLatin1(given + " " + family) + "\r\n";
      card += "TEL;CELL:+46 70 555 " + number + "\r\n";
      card += "EMAIL;INTERNET:work" + number + "@example.com\r\n";
      card += "EMAIL;INTERNET;PREF:" + mail + "\r\n";
      card += "NOTE;ENCODING=QUOTED-PRINTABLE:Met at the conference=0D=0A=\r\nsecond line\r\n";
      break;
    case 1:
      card += "VERSION:3.0\r\nPRODID:-//Bench//Contacts//EN\r\n";
      card += "N:" + family + ";" + given + ";;;\r\nFN:" + given + " " + family + "\r\n";
      card += "NICKNAME:" + given.substr(0, 3) + "\\, " + number + ",Other\r\n";
      card += "ORG:Example Corp.;Research\r\n";
      card += "item1.EMAIL;type=INTERNET:home" + number + "@example.net\r\n";
      card += "EMAIL;TYPE=INTERNET,pref:" + mail + "\r\n";
      card += "TEL;TYPE=WORK,VOICE:+1 555 01" + number + "\r\n";
      card += "ADR;TYPE=HOME:;;" + number + " Main Street;Springfield;;12345;USA\r\n";
      break;
    default:
      card += "VERSION:4.0\r\nKIND:individual\r\n";
      card += "FN:" + given + " " + family + "\r\nN:" + family + ";" + given + ";;;\r\n";
      card += "NICKNAME:" + given + number + "\r\n";
      card += "EMAIL;TYPE=home;PREF=2:other" + number + "@example.net\r\n";
      card += "EMAIL;TYPE=work;PREF=1:" + mail + "\r\n";
      card += "UID:urn:uuid:00000000-0000-4000-8000-" + std::string(12 - number.size(), '0') +
              number + "\r\n";
      card += "REV:20240101T120000Z\r\n";
      break;
  }
  if (i % 10 == 0) {  // one card in ten carries a small photo, folded
    card += "PHOTO;ENCODING=b;TYPE=JPEG:";
    for (int line = 0; line < 30; ++line) card += std::string(74, 'A') + "\r\n ";
    card += "AAAA\r\n";
  }
  return card + "END:VCARD\r\n";
}

struct Layout {
  const char* name;
  std::string path;
};

// One listing; returns the rows seen, or -1 on a failure.
long ListOnce(LPWABOPEN open, const std::string& path) {
  std::string file = path;
  WAB_PARAM params{sizeof(WAB_PARAM), nullptr, file.data(), 0};
  ComPtr<IAddrBook> book;
  ComPtr<IWABObject> wab;
  if (open(book.Put(), wab.Put(), &params, 0) != S_OK) return -1;
  ULONG cb = 0;
  LPENTRYID id = nullptr;
  if (book->GetPAB(&cb, &id) != S_OK) return -1;
  ULONG type = 0;
  ComPtr<IUnknown> object;
  const HRESULT opened = book->OpenEntry(cb, id, nullptr, MAPI_BEST_ACCESS, &type, object.Put());
  wab->FreeBuffer(id);
  if (opened != S_OK || type != MAPI_ABCONT) return -1;
  ComPtr<IMAPITable> table;
  if (static_cast<IABContainer*>(object.Get())->GetContentsTable(0, table.Put()) != S_OK) {
    return -1;
  }
  ULONG count = 0;
  if (table->GetRowCount(0, &count) != S_OK || count == 0) return -1;
  LPSRowSet rows = nullptr;
  if (table->QueryRows(static_cast<LONG>(count), 0, &rows) != S_OK) return -1;
  const long seen = rows->cRows;
  const SRow* row = rows->aRow;
  for (ULONG i = 0; i < rows->cRows; ++i) wab->FreeBuffer(row[i].lpProps);
  wab->FreeBuffer(rows);
  return seen;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
  const fs::path root = vorn_bench::MakeRoot("vorn-contacts-bench");
  if (root.empty()) return 1;

  fs::create_directories(root / "one-file");
  fs::create_directories(root / "one-per-card");
  {
    std::ofstream all(root / "one-file" / "contacts.vcf", std::ios::binary);
    for (int i = 0; i < kContacts; ++i) {
      const std::string card = MakeCard(i);
      all << card;
      char name[32];
      std::snprintf(name, sizeof name, "%05d.vcf", i);
      vorn_bench::WriteFile(root / "one-per-card" / name, card);
    }
  }

  const fs::path library = vorn_bench::ProgramDir() / "vornwab.so";
  HMODULE module = LoadLibraryA(library.c_str());
  auto open = module ? reinterpret_cast<LPWABOPEN>(GetProcAddress(module, WAB_OPEN_ENTRY)) : nullptr;
  if (!open) {
    std::fprintf(stderr, "cannot load %s\n", library.c_str());
    fs::remove_all(root);
    return 1;
  }

  const Layout layouts[] = {{"one file, 10000 cards", (root / "one-file").string()},
                            {"10000 files, one card each", (root / "one-per-card").string()}};
  int status = 0;
  std::printf("Listing %d contacts through vornwab.so (WABOpen .. QueryRows .. FreeBuffer), "
              "goal: under 200 ms\n",
              kContacts);
  for (const Layout& layout : layouts) {
    std::vector<double> times;
    for (int run = 0; run <= runs; ++run) {
      const auto start = std::chrono::steady_clock::now();
      const long seen = ListOnce(open, layout.path);
      const auto end = std::chrono::steady_clock::now();
      if (seen != kContacts) {
        std::fprintf(stderr, "%s: listed %ld contacts, expected %d\n", layout.name, seen, kContacts);
        status = 1;
        break;
      }
      if (run > 0) times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    if (times.empty()) continue;
    std::sort(times.begin(), times.end());
    std::printf("  %-28s min %7.1f ms   median %7.1f ms   max %7.1f ms   (%d runs)\n", layout.name,
                times.front(), times[times.size() / 2], times.back(), runs);
  }
  FreeLibrary(module);
  fs::remove_all(root);
  return status;
}
