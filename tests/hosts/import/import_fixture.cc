#include "tests/hosts/import/import_fixture.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "hosts/import/importer.h"
#include "platform/loader.h"
#include "platform/runtime.h"
#include "platform/systime.h"

extern char** environ;

namespace import_test {
namespace {

std::string ReadAll(FILE* file) {
  std::string text;
  std::rewind(file);
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), file)) > 0) text.append(buffer, n);
  return text;
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void Register(const std::string& path) {
  HMODULE module = LoadLibraryA(path.c_str());
  ASSERT_NE(nullptr, module) << path;
  auto registerServer =
      reinterpret_cast<LPFNREGISTERSERVER>(GetProcAddress(module, "DllRegisterServer"));
  ASSERT_NE(nullptr, registerServer) << path;
  EXPECT_EQ(S_OK, registerServer()) << path;
  FreeLibrary(module);
}

}  // namespace

void RegisterServices(bool withMime) {
  std::string bin = vorn_test::BinDir();
  Register(bin + "/vornstore.so");
  if (!withMime) return;
  Register(bin + "/vornmime.so");
}

std::string MboxEntry(const std::string& message, const std::string& separator) {
  std::string entry = separator + "\n";
  size_t start = 0;
  while (start < message.size()) {
    size_t end = message.find('\n', start);
    end = end == std::string::npos ? message.size() : end + 1;
    std::string_view line(message.data() + start, end - start);
    size_t quotes = line.find_first_not_of('>');
    if (quotes != std::string_view::npos && line.substr(quotes, 5) == "From ") entry += '>';
    entry.append(line);
    start = end;
  }
  return entry + "\n";
}

uint64_t Ticks(int year, int month, int day, int hour, int minute, int second) {
  SYSTEMTIME fields{};
  fields.wYear = static_cast<WORD>(year);
  fields.wMonth = static_cast<WORD>(month);
  fields.wDay = static_cast<WORD>(day);
  fields.wHour = static_cast<WORD>(hour);
  fields.wMinute = static_cast<WORD>(minute);
  fields.wSecond = static_cast<WORD>(second);
  FILETIME time{};
  EXPECT_TRUE(SystemTimeToFileTime(&fields, &time));
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::string Digest(IStoreImport* import, const std::string& bytes) {
  BYTE digest[CB_MESSAGE_DIGEST] = {};
  EXPECT_EQ(S_OK,
            import->GetMessageDigest(reinterpret_cast<const BYTE*>(bytes.data()),
                                     static_cast<ULONG>(bytes.size()), digest, CB_MESSAGE_DIGEST));
  return std::string(reinterpret_cast<const char*>(digest), sizeof(digest));
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

void ImporterTest::SetUp() {
  root_ = std::make_unique<vorn_test::TempRoot>();
  work_ = vorn_test::MakeTempDir("vorn-import");
  ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
  initialised_ = true;
  RegisterServices();
}

void ImporterTest::TearDown() {
  import_ = nullptr;
  store_ = nullptr;
  if (initialised_) CoUninitialize();
  vorn_test::RemoveTree(work_);
  root_.reset();
}

RunResult ImporterTest::Import(const std::vector<std::string>& args) {
  RunResult result;
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  result.status = vorn_import::RunImport(args, out, err);
  result.out = ReadAll(out);
  result.err = ReadAll(err);
  std::fclose(out);
  std::fclose(err);
  return result;
}

RunResult ImporterTest::ImportProgram(const std::vector<std::string>& args) {
  return WaitImportProgram(StartImportProgram(args, ""), "");
}

pid_t ImporterTest::StartImportProgram(const std::vector<std::string>& args,
                                       const std::string& name) {
  std::string program = vorn_test::BinDir() + "/vornimport";
  std::string outPath = PathFor(name + ".out");
  std::string errPath = PathFor(name + ".err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  std::vector<char*> argv;
  argv.push_back(program.data());
  std::vector<std::string> copies(args);
  for (std::string& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(0, spawned) << program;
  return spawned == 0 ? pid : 0;
}

RunResult ImporterTest::WaitImportProgram(pid_t pid, const std::string& name) {
  RunResult result;
  if (pid == 0) return result;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadFileText(PathFor(name + ".out"));
  result.err = ReadFileText(PathFor(name + ".err"));
  return result;
}

IStoreNamespace* ImporterTest::store() {
  if (!store_) {
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_StoreNamespace, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IStoreNamespace, store_.PutVoid()));
    EXPECT_EQ(S_OK, store_->Initialize(nullptr, 0));
    EXPECT_EQ(S_OK, store_.As(&import_));
  }
  return store_.Get();
}

void ImporterTest::CloseStore() {
  import_ = nullptr;
  store_ = nullptr;
}

IStoreImport* ImporterTest::store_import() {
  store();
  return import_.Get();
}

STOREFOLDERID ImporterTest::FindFolder(const std::string& path) {
  STOREFOLDERID current = FOLDERID_ROOT;
  std::stringstream parts(path);
  std::string part;
  while (std::getline(parts, part, '/')) {
    STOREFOLDERID found = FOLDERID_INVALID;
    FOLDERPROPS props{};
    props.cbSize = CB_FOLDERPROPS;
    HENUMSTORE enumeration = 0;
    for (HRESULT hr = store()->GetFirstSubFolder(current, &props, &enumeration); hr == S_OK;
         hr = store()->GetNextSubFolder(enumeration, &props)) {
      if (part == props.szName) found = props.dwFolderId;
    }
    if (enumeration) store()->GetSubFolderClose(enumeration);
    if (found == FOLDERID_INVALID) return found;
    current = found;
  }
  return current;
}

std::vector<StoredMessage> ImporterTest::Messages(STOREFOLDERID folder) {
  std::vector<StoredMessage> messages;
  ComPtr<IStoreFolder> open;
  EXPECT_EQ(S_OK, store()->OpenFolder(folder, 0, open.Put()));
  if (!open) return messages;
  MESSAGEPROPS props{};
  props.cbSize = CB_MESSAGEPROPS;
  HENUMSTORE enumeration = 0;
  for (HRESULT hr = open->GetFirstMessage(0, 0, MESSAGEID_FIRST, &props, &enumeration); hr == S_OK;
       hr = open->GetNextMessage(enumeration, 0, &props)) {
    StoredMessage message;
    message.id = props.dwMessageId;
    message.received = (static_cast<uint64_t>(props.ftReceived.dwHighDateTime) << 32) |
                       props.ftReceived.dwLowDateTime;
    message.flags = props.dwFlags;
    message.subject = props.pszSubject ? props.pszSubject : "";
    open->FreeMessageProps(&props);
    messages.push_back(std::move(message));
  }
  if (enumeration) open->GetMessageClose(enumeration);
  for (StoredMessage& message : messages) {
    ComPtr<IStream> stream;
    EXPECT_EQ(S_OK, open->OpenMessage(message.id, IID_IStream, stream.PutVoid()));
    if (!stream) continue;
    char buffer[65536];
    ULONG got = 0;
    while (SUCCEEDED(stream->Read(buffer, sizeof(buffer), &got)) && got > 0) {
      message.raw.append(buffer, got);
    }
  }
  return messages;
}

size_t ImporterTest::CountAll(STOREFOLDERID parent) {
  size_t count = 0;
  std::vector<STOREFOLDERID> children;
  FOLDERPROPS props{};
  props.cbSize = CB_FOLDERPROPS;
  HENUMSTORE enumeration = 0;
  for (HRESULT hr = store()->GetFirstSubFolder(parent, &props, &enumeration); hr == S_OK;
       hr = store()->GetNextSubFolder(enumeration, &props)) {
    count += props.cMessage;
    children.push_back(props.dwFolderId);
  }
  if (enumeration) store()->GetSubFolderClose(enumeration);
  for (STOREFOLDERID child : children) count += CountAll(child);
  return count;
}

}  // namespace import_test
