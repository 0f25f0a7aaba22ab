// The MIME library's speed against plain GMime. Writes 10,000 generated
// messages to files (plain text, quoted-printable Latin-1, base64 UTF-8,
// alternatives of text and HTML, and a fifth with one to three attachments),
// then reads each one as the control does: CMailStore's SetMessage, GetBody
// and the attachment names, over a fake store whose folder hands out the
// library's messages (vornmime.so, created from the class object the registry
// names and loaded from the message file's bytes, as the store server does).
// mime_speed_gmime parses the same files with GMime alone and extracts the
// same. Both keep the files in memory and time only the reading, in processor
// time (the machine may be shared) and wall time, fastest of several rounds.
// Prints both rates, the ratio (goal: 0.8 or better) and whether both read the
// same text and names from every message.
//
// Usage: mime_speed [COUNT [ROUNDS]]   (default 10000 messages, 3 rounds)

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "platform/loader.h"
#include "platform/mime.h"
#include "platform/runtime.h"
#include "store/mailstore.h"
#include "tests/fakes/fake_env.h"
#include "tests/fakes/fake_store.h"
#include "tests/fakes/forwarding.h"

namespace {

namespace fs = std::filesystem;

using vorn_bench::Hash;
using vorn_bench::ProcessCpuSeconds;
using vorn_bench::WallSeconds;

// ---------------------------------------------------------------------------
// Messages.

const char* const kWords[] = {"the",     "message", "store",  "folder", "meeting", "tomorrow",
                              "report",  "budget",  "review", "please", "attached", "thanks",
                              "schedule", "project", "team",   "update", "question", "answer"};
const char* const kLatin1Words[] = {"caf\xE9", "na\xEFve", "r\xE9sum\xE9", "gar\xE7on", "\374ber",
                                    "se\xF1or", "\xE5r"};
const char* const kUtf8Words[] = {"caf\xC3\xA9", "\303\274ber", "\xD0\xBF\xD1\x80\xD0\xB8",
                                  "\xE6\x97\xA5\xE6\x9C\xAC", "\xF0\x9F\x93\xA7", "na\xC3\xAFve"};

uint32_t g_seed = 12345;
uint32_t Next() {
  g_seed = g_seed * 1103515245u + 12345u;
  return g_seed >> 8;
}

// Lines of about 70 characters, `words` words, from `pool`.
template <size_t N>
std::string Paragraphs(const char* const (&pool)[N], int words) {
  std::string text;
  size_t line = 0;
  for (int i = 0; i < words; ++i) {
    std::string word = pool[Next() % N];
    if (line + word.size() > 70) {
      text += "\r\n";
      line = 0;
    } else if (i > 0) {
      text += ' ';
      ++line;
    }
    text += word;
    line += word.size();
  }
  return text + "\r\n";
}

std::string QuotedPrintable(const std::string& bytes) {
  std::string out;
  size_t line = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    auto c = static_cast<unsigned char>(bytes[i]);
    if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
      out += "\r\n";
      ++i;
      line = 0;
      continue;
    }
    char piece[4];
    if (c >= 0x80 || c == '=') {
      std::snprintf(piece, sizeof piece, "=%02X", c);
    } else {
      piece[0] = static_cast<char>(c);
      piece[1] = '\0';
    }
    if (line + std::strlen(piece) > 73) {
      out += "=\r\n";
      line = 0;
    }
    out += piece;
    line += std::strlen(piece);
  }
  return out;
}

std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t line = 0;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t n = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) n |= static_cast<uint8_t>(bytes[i + 2]);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
    line += 4;
    if (line >= 76) {
      out += "\r\n";
      line = 0;
    }
  }
  return out + "\r\n";
}

std::string Headers(int i, const std::string& subject) {
  char date[64];
  std::snprintf(date, sizeof date, "Date: Mon, %d Mar 2024 %02d:%02d:00 +0100\r\n", 1 + i % 28,
                i % 24, i % 60);
  return "Received: from mail.example.com (mail.example.com [192.0.2.1])\r\n"
         "\tby mx.example.org with ESMTPS id " + std::to_string(100000 + i) + "\r\n"
         "From: Sender " + std::to_string(i % 97) + " <sender" + std::to_string(i % 97) +
         "@example.com>\r\nTo: Recipient <recipient@example.org>\r\n"
         "Subject: " + subject + "\r\n" + date +
         "Message-ID: <" + std::to_string(i) + "@example.com>\r\n";
}

std::string Attachment(int n, const std::string& boundary) {
  static const char* const kNames[] = {
      "filename=\"report.pdf\"", "filename=\"photo.jpg\"",
      "filename*=UTF-8''r%C3%A9sum%C3%A9.docx", "filename=\"=?UTF-8?B?w7xiZXJzaWNodC54bHN4?=\"",
      "filename=\"notes.txt\""};
  static const char* const kTypes[] = {
      "application/pdf", "image/jpeg",
      "application/vnd.openxmlformats-officedocument.wordprocessingml.document",
      "application/vnd.ms-excel", "application/octet-stream"};
  int kind = static_cast<int>(Next() % 5);
  std::string data(2048 + Next() % 30000, '\0');
  for (char& c : data) c = static_cast<char>(Next());
  (void)n;
  return "--" + boundary + "\r\nContent-Type: " + kTypes[kind] +
         "\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; " +
         kNames[kind] + "\r\n\r\n" + Base64(data);
}

std::string MakeMessage(int i) {
  std::string subject = "Re: " + std::string(kWords[i % 18]) + " " + std::to_string(i);
  int words = 80 + static_cast<int>(Next() % 600);
  switch (i % 10) {
    case 0:
    case 1:  // plain, no MIME headers
      return Headers(i, subject) + "\r\n" + Paragraphs(kWords, words);
    case 2:  // quoted-printable Latin-1
      return Headers(i, subject) +
             "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
             "Content-Transfer-Encoding: quoted-printable\r\n\r\n" +
             QuotedPrintable(Paragraphs(kLatin1Words, words / 4) + Paragraphs(kWords, words));
    case 3:  // base64 UTF-8
      return Headers(i, "=?UTF-8?B?w7xiZXI=?= " + subject) +
             "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n"
             "Content-Transfer-Encoding: base64\r\n\r\n" +
             Base64(Paragraphs(kUtf8Words, words / 4) + Paragraphs(kWords, words));
    case 4:
    case 5:  // 8-bit UTF-8
      return Headers(i, subject) +
             "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n"
             "Content-Transfer-Encoding: 8bit\r\n\r\n" +
             Paragraphs(kUtf8Words, words / 8) + Paragraphs(kWords, words);
    case 6:
    case 7: {  // text and HTML
      std::string text = Paragraphs(kWords, words);
      return Headers(i, subject) +
             "MIME-Version: 1.0\r\nContent-Type: multipart/alternative; boundary=\"alt-" +
             std::to_string(i) + "\"\r\n\r\nThis is a multi-part message in MIME format.\r\n"
             "--alt-" + std::to_string(i) +
             "\r\nContent-Type: text/plain; charset=utf-8\r\n"
             "Content-Transfer-Encoding: quoted-printable\r\n\r\n" + QuotedPrintable(text) +
             "--alt-" + std::to_string(i) +
             "\r\nContent-Type: text/html; charset=utf-8\r\n"
             "Content-Transfer-Encoding: quoted-printable\r\n\r\n" +
             QuotedPrintable("<html><body><p>" + text + "</p></body></html>\r\n") + "--alt-" +
             std::to_string(i) + "--\r\n";
    }
    default: {  // a fifth: text and one to three attachments
      std::string boundary = "mixed-" + std::to_string(i);
      std::string text = "--" + boundary +
                         "\r\nContent-Type: text/plain; charset=utf-8\r\n"
                         "Content-Transfer-Encoding: quoted-printable\r\n\r\n" +
                         QuotedPrintable(Paragraphs(kWords, words));
      int attachments = 1 + static_cast<int>(Next() % 3);
      for (int a = 0; a < attachments; ++a) text += Attachment(a, boundary);
      return Headers(i, subject) +
             "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" + boundary +
             "\"\r\n\r\n" + text + "--" + boundary + "--\r\n";
    }
  }
}

// ---------------------------------------------------------------------------
// The library side.

// A folder of the fake store whose OpenMessage gives the library's message
// for the file the message id names.
class LibraryFolder : public vorn_fakes::ForwardingStoreFolder {
 public:
  LibraryFolder(ComPtr<IStoreFolder> inner, const std::map<MESSAGEID, const std::string*>* files,
                IClassFactory* mimeClass)
      : ForwardingStoreFolder(std::move(inner)), files_(files), mimeClass_(mimeClass) {}

  HRESULT OpenMessage(MESSAGEID messageId, REFIID riid, void** object) override {
    if (!(riid == IID_IMimeMessage)) return inner()->OpenMessage(messageId, riid, object);
    *object = nullptr;
    auto found = files_->find(messageId);
    if (found == files_->end()) return E_INVALIDARG;
    ComPtr<IPersistStreamInit> message;
    HRESULT hr = mimeClass_->CreateInstance(nullptr, IID_IPersistStreamInit, message.PutVoid());
    if (FAILED(hr)) return hr;
    vorn_bench::BorrowedStream stream(*found->second);
    if (FAILED(hr = message->Load(&stream))) return hr;
    return message->QueryInterface(IID_IMimeMessage, object);
  }

 private:
  const std::map<MESSAGEID, const std::string*>* files_;
  IClassFactory* mimeClass_;
};

struct Timing {
  double cpu = 1e9;
  double wall = 1e9;
};

bool RunLibrary(const std::vector<std::string>& messages, int rounds, Timing* timing,
                std::vector<uint64_t>* hashes) {
  ComPtr<IClassFactory> mimeClass;
  if (FAILED(CoGetClassObject(CLSID_VornMimeMessage, CLSCTX_INPROC_SERVER, nullptr,
                              IID_IClassFactory, mimeClass.PutVoid()))) {
    std::fprintf(stderr, "the MIME library's message class is not registered\n");
    return false;
  }
  vorn_fakes::FakeEnv env;
  vorn_fakes::FakeStore store(env);
  const STOREFOLDERID inbox = store.AddFolder(FOLDERID_ROOT, "Inbox", FOLDER_INBOX).id;
  std::map<MESSAGEID, const std::string*> files;
  std::vector<MESSAGEID> ids;
  for (const std::string& text : messages) {
    vorn_fakes::FakeMessage& message = store.AddMessage(inbox);
    files[message.id] = &text;
    ids.push_back(message.id);
  }
  store.wrapFolder = [&](ComPtr<IStoreFolder> inner) {
    return vorn_fakes::MakeForwarding<LibraryFolder>(std::move(inner), &files, mimeClass.Get());
  };
  vorn_fakes::ClassRegistration storeClass = store.Register();
  CMailStore mail;
  if (mail.OpenSession() != 1 || mail.SetFolder(static_cast<int32_t>(inbox)) != 1) {
    std::fprintf(stderr, "the session or the folder did not open\n");
    return false;
  }
  hashes->assign(messages.size(), 0);
  for (int round = 0; round < rounds; ++round) {
    double cpu = ProcessCpuSeconds();
    double wall = WallSeconds();
    for (size_t i = 0; i < ids.size(); ++i) {
      if (mail.SetMessage(static_cast<int32_t>(ids[i])) != 1) {
        std::fprintf(stderr, "SetMessage failed for message %zu\n", i);
        return false;
      }
      uint64_t h = Hash(vorn_bench::kHashStart, mail.GetBody());
      for (int32_t a = 0; a < mail.GetAttachmentCount(); ++a) {
        h = Hash(h, mail.GetAttachmentName(a));
      }
      (*hashes)[i] = h;
    }
    timing->cpu = std::min(timing->cpu, ProcessCpuSeconds() - cpu);
    timing->wall = std::min(timing->wall, WallSeconds() - wall);
  }
  return true;
}

// Runs mime_speed_gmime over the folder; false when it fails.
bool RunPlainGMime(const fs::path& program, const fs::path& folder, int count, int rounds,
                   Timing* timing, std::vector<uint64_t>* hashes) {
  fs::path output = folder / "gmime-hashes.txt";
  std::string command = "'" + program.string() + "' '" + folder.string() + "' " +
                        std::to_string(count) + " " + std::to_string(rounds) + " '" +
                        output.string() + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return false;
  int fields = std::fscanf(pipe, "%lf %lf", &timing->cpu, &timing->wall);
  if (pclose(pipe) != 0 || fields != 2) return false;
  std::ifstream in(output);
  std::string line;
  while (std::getline(in, line)) hashes->push_back(std::strtoull(line.c_str(), nullptr, 16));
  return static_cast<int>(hashes->size()) == count;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const fs::path root = vorn_bench::MakeRoot("vorn-mime-speed");
  if (root.empty()) return 1;
  const fs::path folder = root / "messages";
  fs::create_directories(folder);

  std::vector<std::string> messages;
  size_t bytes = 0;
  for (int i = 0; i < count; ++i) {
    std::string text = MakeMessage(i);
    char name[32];
    std::snprintf(name, sizeof name, "%06d.eml", i);
    vorn_bench::WriteFile(folder / name, text);
    bytes += text.size();
  }
  // Both sides read the same files.
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%06d.eml", i);
    std::ifstream file(folder / name, std::ios::binary);
    messages.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }

  const fs::path bin = vorn_bench::ProgramDir();
  HMODULE module = vorn_bench::LoadAndRegister(bin / "vornmime.so");
  int status = 1;
  Timing plain;
  Timing library;
  std::vector<uint64_t> plainHashes;
  std::vector<uint64_t> libraryHashes;
  if (!module || FAILED(CoInitialize(nullptr))) {
    std::fprintf(stderr, "cannot register the MIME library\n");
  } else if (!RunPlainGMime(bin / "mime_speed_gmime", folder, count, rounds, &plain,
                            &plainHashes)) {
    std::fprintf(stderr, "mime_speed_gmime failed\n");
  } else if (RunLibrary(messages, rounds, &library, &libraryHashes)) {
    size_t same = 0;
    for (int i = 0; i < count; ++i) same += plainHashes[i] == libraryHashes[i];
    std::printf("%d messages (%.1f MB, a fifth with attachments), fastest of %d rounds\n", count,
                static_cast<double>(bytes) / (1 << 20), rounds);
    std::printf("  plain GMime:                   %8.0f messages/s processor time, %8.0f wall\n",
                count / plain.cpu, count / plain.wall);
    std::printf("  CMailStore over the library:   %8.0f messages/s processor time, %8.0f wall\n",
                count / library.cpu, count / library.wall);
    std::printf("  ratio (library / plain GMime): %8.2f processor time,              %8.2f wall"
                "   (goal: 0.8 or better)\n",
                plain.cpu / library.cpu, plain.wall / library.wall);
    std::printf("  same text and names from %zu of %d messages\n", same, count);
    status = same == static_cast<size_t>(count) ? 0 : 1;
    CoUninitialize();
  }
  if (module) FreeLibrary(module);
  fs::remove_all(root);
  return status;
}
