// bench_imap_append: the rate of storing messages on an IMAP server, one
// APPEND after the other (each waiting for its answer) against the pipelined
// run a batch import uses, on a Dovecot this program starts on 127.0.0.1.
// Prints both rates and their ratio; the message count is the argument
// (default 2,000), the messages are the same in both runs.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "services/imap/imap_client.h"
#include "tests/support/dovecot_server.h"

int main(int argc, char** argv) {
  const size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000;
  vorn_test::DovecotServer& server = vorn_test::DovecotServer::Shared({});
  if (!server.ok()) {
    std::fprintf(stderr, "bench_imap_append: %s\n", server.error().c_str());
    return 1;
  }
  std::vector<std::string> texts;
  for (size_t i = 0; i < count; ++i) {
    texts.push_back("From: a@example.org\r\nSubject: message " + std::to_string(i) +
                    "\r\n\r\n" + std::string(2000 + i % 500, 'x') + "\r\n");
  }
  vorn_imap::Account account;
  account.server = "127.0.0.1";
  account.port = server.port();
  account.user = server.NewUser();
  account.password = vorn_test::kDovecotPassword;
  vorn_imap::ImapClient client;
  if (FAILED(client.Connect(account))) {
    std::fprintf(stderr, "bench_imap_append: cannot set up the account\n");
    return 1;
  }

  // Alternating rounds into mailboxes of their own, so that neither way
  // gets the emptier server.
  double oneByOne = 0, piped = 0;
  const size_t rounds = 4;
  for (size_t round = 0; round < rounds; ++round) {
    const std::string single = "one" + std::to_string(round);
    const std::string many = "piped" + std::to_string(round);
    if (FAILED(client.Create(single)) || FAILED(client.Create(many))) return 1;
    std::vector<vorn_imap::ImapClient::Appended> batch;
    for (size_t i = round; i < texts.size(); i += rounds) batch.push_back({&texts[i], false, 0});
    double start = vorn_bench::WallSeconds();
    for (const auto& m : batch) {
      uint32_t validity = 0, uid = 0;
      if (FAILED(client.Append(single, *m.raw, false, 0, &validity, &uid))) return 1;
    }
    oneByOne += vorn_bench::WallSeconds() - start;
    std::vector<HRESULT> results;
    std::vector<uint32_t> uids;
    uint32_t validity = 0;
    start = vorn_bench::WallSeconds();
    if (FAILED(client.AppendPipelined(many, batch, &results, &uids, &validity))) return 1;
    piped += vorn_bench::WallSeconds() - start;
    for (HRESULT hr : results) {
      if (FAILED(hr)) return 1;
    }
  }
  std::printf("messages                 %zu\n", count);
  std::printf("one APPEND at a time     %.0f messages/s\n", count / oneByOne);
  std::printf("pipelined APPEND         %.0f messages/s\n", count / piped);
  std::printf("pipelined / one by one   %.2f\n", oneByOne / piped);
  return 0;
}
