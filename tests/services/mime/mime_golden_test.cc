// Golden tests: every tests/data/mime/NAME.eml is loaded into the MIME
// library and read the way the body reader and the store read it; the result
// must equal NAME.golden. Set VORN_UPDATE_GOLDEN=1 to write the .golden files
// from the current results (then review every change by hand).

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

#include "tests/services/mime/mime_model.h"
#include "tests/services/mime/mime_test_support.h"
#include "tests/support/temp_root.h"

namespace {

using mime_test::DataFile;
using mime_test::DataFiles;

std::string DateText(IMimeMessage* message) {
  HBODY root = HBODY_NULL;
  message->GetBody(IBL_ROOT, HBODY_NULL, &root);
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_FILETIME;
  HRESULT hr = message->GetBodyProp(root, "Date", 0, &value);
  if (hr == MIME_E_NOT_FOUND) return "(absent)";
  if (FAILED(hr)) return "(failed)";
  uint64_t ticks = (uint64_t{value.filetime.dwHighDateTime} << 32) | value.filetime.dwLowDateTime;
  time_t seconds = static_cast<time_t>(ticks / 10000000 - 11644473600ULL);
  struct tm utc;
  gmtime_r(&seconds, &utc);
  char text[64];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
  return text;
}

std::string Render(IMimeMessage* message) {
  mime_test::ReaderView view = mime_test::ReadLikeReader(message);
  std::string out;
  out += "content-type: " + view.contentType + "\n";
  out += "charset: " + mime_test::RootProp(message, PIDSTR_MAIN_CHARSET) + "\n";
  out += "subject: " + mime_test::RootProp(message, "Subject") + "\n";
  out += "from: " + mime_test::RootProp(message, "From", PDF_DISPLAYNAMES) + "\n";
  out += "to: " + mime_test::RootProp(message, "To", PDF_ADDRESSES) + "\n";
  out += "date: " + DateText(message) + "\n";
  for (const std::string& name : view.attachments) out += "attachment: " + name + "\n";
  out += "body:\n" + view.body;
  return out;
}

class MimeGolden : public testing::TestWithParam<std::string> {};

TEST_P(MimeGolden, ReadsAsExpected) {
  std::string name = GetParam();
  std::string stem = name.substr(0, name.size() - 4);
  ComPtr<IMimeMessage> message = mime_test::LoadMessage(DataFile(name));
  ASSERT_TRUE(message);
  std::string actual = Render(message.Get());

  if (std::getenv("VORN_UPDATE_GOLDEN")) {
    std::ofstream(vorn_test::SourceDir() + "/tests/data/mime/" + stem + ".golden",
                  std::ios::binary)
        << actual;
  }
  EXPECT_EQ(DataFile(stem + ".golden"), actual) << "for " << name;
}

INSTANTIATE_TEST_SUITE_P(Messages, MimeGolden, testing::ValuesIn(DataFiles(".eml")),
                         [](const testing::TestParamInfo<std::string>& info) {
                           std::string id;
                           for (char c : info.param.substr(0, info.param.size() - 4)) {
                             id += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           }
                           return id;
                         });

}  // namespace
