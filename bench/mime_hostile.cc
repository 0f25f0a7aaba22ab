// Hostile messages through the MIME library (vornmime.so, created through
// the registry as the store server creates it): each one is generated and
// read in a child process of its own the way the store server and the body
// reader read a message (the header fields the store caches, the root body's
// content type and data in the reader's chunks, the attachments and their
// display names). Prints, per case, the time of the reading, the child's peak
// memory (its RSS high-water mark: over its whole life, which includes making
// the message text, and over the reading alone) and how far the reading took
// it above the RSS it had with the text made; a case that crashes, runs past its time limit or is refused
// fails the program.
//
// Usage: mime_hostile [--scale N]   (N > 1 divides every size by N, for a
//                                    quick run)

#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_support.h"
#include "platform/loader.h"
#include "platform/mime.h"
#include "platform/runtime.h"
#include "runtime/com_ptr.h"

namespace {

namespace fs = std::filesystem;

constexpr int kTimeLimitSeconds = 120;

long g_scale = 1;

long Scaled(long n) { return std::max(1L, n / g_scale); }

std::string Repeat(std::string_view piece, long count) {
  std::string text;
  text.reserve(piece.size() * static_cast<size_t>(count));
  for (long i = 0; i < count; ++i) text += piece;
  return text;
}

// ---------------------------------------------------------------------------
// The cases.

std::string NestedMultiparts() {
  std::string text;
  long levels = Scaled(80000);
  for (long i = 0; i < levels; ++i) {
    std::string b = "b" + std::to_string(i);
    text += "Content-Type: multipart/mixed; boundary=\"" + b + "\"\r\n\r\n--" + b + "\r\n";
  }
  return text + "\r\ndeepest\r\n";
}

std::string BareParts() {
  return "Subject: parts\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n" +
         Repeat("--b\r\n\r\n", Scaled(200000)) + "--b--\r\n";
}

std::string TypedParts() {
  return "Subject: parts\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n" +
         Repeat("--b\r\nContent-Type: application/octet-stream; name=\"a.bin\"\r\n"
                "Content-Transfer-Encoding: base64\r\n\r\nQUJD\r\n",
                Scaled(200000)) +
         "--b--\r\n";
}

std::string LongHeaderLine() {
  return "From: a@example.com\r\nSubject: " + std::string(Scaled(50L << 20), 'x') +
         "\r\nTo: b@example.com\r\n\r\nbody\r\n";
}

std::string HeaderFlood() {
  return Repeat("X-A: b\r\n", Scaled(50L << 20) / 8) + "Subject: flood\r\n\r\nbody\r\n";
}

std::string ColonsInFrom() {
  return "From: " + Repeat("a:", Scaled(1000000)) + "\r\nSubject: colons\r\n\r\nbody\r\n";
}

std::string BadBase64() {
  // Characters outside the alphabet, 8-bit bytes, lines of odd lengths and a
  // last quantum cut short (padding would end the data).
  return "Subject: base64\r\nContent-Type: text/plain; charset=utf-8\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\n" +
         Repeat("QU%JD!4pyT\r\nw6k*w6n\xff\x80wn5iA\r\n4p-yTw\r\n", Scaled(50L << 20) / 36) +
         "QUJ";
}

std::string BadQuotedPrintable() {
  return "Subject: qp\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n\r\n" +
         Repeat("=4=Z=\r\n=E9=e9=\xE9=0=\r\n= \r\n", Scaled(50L << 20) / 27) + "=";
}

std::string BogusCharsets() {
  // Every charset name a different unknown one, in encoded words, in
  // RFC 2231 names, and in the text bodies' parameters.
  std::string text = "Subject: ";
  long words = Scaled(100000);
  for (long i = 0; i < words; ++i) {
    text += "=?x-bogus-" + std::to_string(i) + "?q?caf=E9?= ";
  }
  text += "\r\nFrom: =?\xff\xfe?b?AAAA?= <a@example.com>\r\n"
          "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
          "--b\r\nContent-Type: text/plain; charset=\"x-unknown//TRANSLIT\"\r\n\r\ncaf\xE9\r\n";
  long parts = Scaled(20000);
  for (long i = 0; i < parts; ++i) {
    text += "--b\r\nContent-Type: text/plain; charset=\"bogus-" + std::to_string(i) +
            "\"\r\nContent-Disposition: attachment; filename*=bogus-" + std::to_string(i) +
            "''caf%E9.txt\r\n\r\ncaf\xE9\r\n";
  }
  return text + "--b--\r\n";
}

struct Case {
  const char* name;
  std::function<std::string()> make;
};

// ---------------------------------------------------------------------------
// Reading a message as its clients do.

struct Seen {
  size_t bodyBytes = 0;
  size_t attachments = 0;
  size_t subjectBytes = 0;
};

size_t TextProp(IMimePropertySet* props, LPCSTR name, DWORD flags) {
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_LPSTR;
  size_t size = 0;
  if (SUCCEEDED(props->GetProp(name, flags, &value)) && value.pszVal) {
    size = std::strlen(value.pszVal);
  }
  PropVariantClear(&value);
  return size;
}

// Returns false when the library refuses the message.
bool ReadMessage(const std::string& text, Seen* seen) {
  ComPtr<IPersistStreamInit> persist;
  if (FAILED(CoCreateInstance(CLSID_VornMimeMessage, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IPersistStreamInit, persist.PutVoid()))) {
    return false;
  }
  vorn_bench::BorrowedStream stream(text);
  if (FAILED(persist->Load(&stream))) return false;
  ComPtr<IMimeMessage> message;
  if (FAILED(persist.As(&message))) return false;

  HBODY root = HBODY_NULL;
  if (FAILED(message->GetBody(IBL_ROOT, HBODY_NULL, &root))) return false;
  // What the store server caches.
  ComPtr<IMimePropertySet> props;
  if (SUCCEEDED(message->BindToObject(root, IID_IMimePropertySet, props.PutVoid()))) {
    seen->subjectBytes = TextProp(props.Get(), "Subject", 0);
    TextProp(props.Get(), "From", PDF_DISPLAYNAMES);
    TextProp(props.Get(), "To", PDF_DISPLAYNAMES);
    TextProp(props.Get(), "X-Priority", 0);
    TextProp(props.Get(), "Importance", 0);
    TextProp(props.Get(), PIDSTR_MAIN_CHARSET, 0);
    PROPVARIANT date;
    PropVariantInit(&date);
    date.vt = VT_FILETIME;
    props->GetProp("Date", 0, &date);
    PropVariantClear(&date);
  }
  // What the body reader reads.
  PROPVARIANT type;
  PropVariantInit(&type);
  type.vt = VT_LPSTR;
  bool isText = false;
  if (SUCCEEDED(message->GetBodyProp(root, PIDTOSTR(PID_HDR_CNTTYPE), 0, &type))) {
    isText = std::strncmp(type.pszVal, "text", 4) == 0;
    PropVariantClear(&type);
  }
  ComPtr<IMimeBody> body;
  if (SUCCEEDED(message->BindToObject(root, IID_IMimeBody, body.PutVoid()))) {
    ComPtr<IStream> data;
    if (SUCCEEDED(body->GetData(IET_UNICODE, data.Put()))) {
      char buffer[4096];
      ULONG got = 0;
      while (SUCCEEDED(data->Read(buffer, isText ? 4094 : 2047, &got)) && got > 0) {
        seen->bodyBytes += got;
      }
    }
  }
  ULONG count = 0;
  HBODY* handles = nullptr;
  if (SUCCEEDED(message->GetAttachments(&count, &handles))) {
    for (ULONG i = 0; i < count; ++i) {
      if (message->IsBodyType(handles[i], IBT_ATTACHMENT) != S_OK) continue;
      ComPtr<IMimeBody> part;
      if (FAILED(message->BindToObject(handles[i], IID_IMimeBody, part.PutVoid()))) continue;
      LPSTR name = nullptr;
      if (FAILED(part->GetDisplayName(&name))) continue;
      CoTaskMemFree(name);
      ++seen->attachments;
    }
    CoTaskMemFree(handles);
  }
  return true;
}

// ---------------------------------------------------------------------------
// One case in a child process.

struct Report {
  size_t inputBytes;
  long textKb;      // the child's RSS with the text made, before reading
  long readPeakKb;  // its RSS high-water mark while reading; 0 when unknown
  double wallSeconds;
  double cpuSeconds;
  Seen seen;
  bool loaded;
};

// Lowers the RSS high-water mark to the current RSS, so that it then
// measures what comes after making the text.
bool ResetHighWater() {
  FILE* refs = std::fopen("/proc/self/clear_refs", "w");
  if (!refs) return false;
  bool ok = std::fputs("5", refs) >= 0;
  return std::fclose(refs) == 0 && ok;
}

[[noreturn]] void RunChild(const Case& c, int out) {
  Report report{};
  if (FAILED(CoInitialize(nullptr))) _exit(4);
  std::string text = c.make();
  report.inputBytes = text.size();
  bool reset = ResetHighWater();
  report.textKb = vorn_bench::StatusKb("VmRSS");
  double cpu = vorn_bench::ProcessCpuSeconds();
  double wall = vorn_bench::WallSeconds();
  report.loaded = ReadMessage(text, &report.seen);
  report.wallSeconds = vorn_bench::WallSeconds() - wall;
  report.cpuSeconds = vorn_bench::ProcessCpuSeconds() - cpu;
  report.readPeakKb = reset ? vorn_bench::StatusKb("VmHWM") : 0;
  ssize_t written = write(out, &report, sizeof report);
  _exit(written == static_cast<ssize_t>(sizeof report) ? 0 : 3);
}

// Runs one case; false when it crashed, hung or could not report.
bool RunCase(const Case& c) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return false;
  std::fflush(stdout);
  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    close(pipeEnds[0]);
    alarm(kTimeLimitSeconds);
    RunChild(c, pipeEnds[1]);
  }
  close(pipeEnds[1]);
  Report report{};
  ssize_t got = read(pipeEnds[0], &report, sizeof report);
  close(pipeEnds[0]);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  if (WIFSIGNALED(status)) {
    std::printf("%-22s %s\n", c.name,
                WTERMSIG(status) == SIGALRM ? "HUNG (time limit passed)" : "CRASHED");
    if (WTERMSIG(status) != SIGALRM) std::printf("  signal %d\n", WTERMSIG(status));
    return false;
  }
  if (got != static_cast<ssize_t>(sizeof report) || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    std::printf("%-22s no report (exit status %d)\n", c.name, WEXITSTATUS(status));
    return false;
  }
  auto mb = [](long kb) { return static_cast<double>(kb) / 1024; };
  std::printf("%-22s %8.1f MB %7.2f s %7.2f s %8.1f MB %8.1f MB %8.1f MB  %s body %zu B, "
              "%zu attachments, subject %zu B\n",
              c.name, static_cast<double>(report.inputBytes) / (1 << 20), report.wallSeconds,
              report.cpuSeconds, mb(usage.ru_maxrss), mb(report.readPeakKb),
              mb(report.readPeakKb - report.textKb), report.loaded ? "read:" : "refused;",
              report.seen.bodyBytes, report.seen.attachments, report.seen.subjectBytes);
  return report.loaded;
}

}  // namespace

std::string UnclosedEncodedWords() {
  // Encoded words that never close, filling the subject, a display name and
  // the file names of many parts.
  std::string words = Repeat("=?x?q?ab", Scaled(60000) / 8);
  std::string name = words.substr(0, 2000);
  return "Subject: " + words + "\r\nFrom: " + words + " <a@example.com>\r\n" +
         "Content-Type: multipart/mixed; boundary=b\r\n\r\n" +
         Repeat("--b\r\nContent-Type: image/gif; name=\"" + name + "\"\r\n\r\nx\r\n",
                Scaled(5000)) +
         "--b--\r\n";
}

std::string UnnamedParts() {
  // Parts without file names, every other one an enclosed message whose
  // subject names it.
  return "Subject: parts\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n" +
         Repeat("--b\r\nContent-Type: application/octet-stream\r\n\r\nQUJD\r\n"
                "--b\r\nContent-Type: message/rfc822\r\n\r\nSubject: =?utf-8?b?Z3I=?= "
                "=?utf-8?b?w7zDn2U=?=\r\n\r\nx\r\n",
                Scaled(100000)) +
         "--b--\r\n";
}

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--scale") == 0 && i + 1 < argc) {
      g_scale = std::max(1L, std::atol(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: %s [--scale N]\n", argv[0]);
      return 2;
    }
  }
  const fs::path root = vorn_bench::MakeRoot("vorn-mime-hostile");
  if (root.empty()) return 1;

  const fs::path library = vorn_bench::ProgramDir() / "vornmime.so";
  HMODULE module = vorn_bench::LoadAndRegister(library);
  if (!module) {
    std::fprintf(stderr, "cannot register %s\n", library.c_str());
    fs::remove_all(root);
    return 1;
  }

  const Case cases[] = {
      {"nested multiparts", NestedMultiparts},
      {"parts, no headers", BareParts},
      {"parts, typed", TypedParts},
      {"long header line", LongHeaderLine},
      {"header field flood", HeaderFlood},
      {"colons in From", ColonsInFrom},
      {"bad base64", BadBase64},
      {"bad quoted-printable", BadQuotedPrintable},
      {"bogus charsets", BogusCharsets},
      {"unclosed encoded words", UnclosedEncodedWords},
      {"unnamed parts", UnnamedParts},
  };
  std::printf("Hostile messages through vornmime.so, one child process each%s\n",
              g_scale > 1 ? (" (sizes divided by " + std::to_string(g_scale) + ")").c_str()
                          : "");
  std::printf("%-22s %11s %9s %9s %11s %11s %11s\n", "case", "input", "wall", "cpu",
              "peak RSS", "read peak", "above text");
  bool ok = true;
  for (const Case& c : cases) ok = RunCase(c) && ok;
  FreeLibrary(module);
  fs::remove_all(root);
  return ok ? 0 : 1;
}
