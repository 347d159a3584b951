// Parsing speed of a realistic header: run by hand, never by the tests.
#include <benchmark/benchmark.h>

#include <string>

#include "config/settings.h"
#include "header/message_header.h"
#include "header/parse_header.h"
#include "header/reference_scanner.h"

namespace {

// About 1.6 KB: a mailing-list message with folded Received lines, as TOP n 0 returns it.
const std::string kHeader =
    "Return-Path: <list-bounces@lists.example.org>\r\n"
    "Received: from mx1.example.net (mx1.example.net [192.0.2.10])\r\n"
    "\tby pop.example.com (Postfix) with ESMTPS id 4F1A2B3C4D\r\n"
    "\tfor <user@example.com>; Tue, 14 May 2024 09:12:33 +0200 (CEST)\r\n"
    "Received: from lists.example.org (lists.example.org [198.51.100.7])\r\n"
    "\tby mx1.example.net with ESMTP id 1a2b3c4d5e6f\r\n"
    "\tfor <user@example.com>; Tue, 14 May 2024 07:12:30 +0000\r\n"
    "Received: from [10.0.0.3] (unknown [203.0.113.44])\r\n"
    "\tby lists.example.org (Postfix) with ESMTPSA id 77AA88BB\r\n"
    "\tfor <dev@lists.example.org>; Tue, 14 May 2024 07:12:28 +0000 (UTC)\r\n"
    "DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=example.org; s=mail;\r\n"
    "\tt=1715670748; bh=47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=;\r\n"
    "\th=Date:From:To:Subject:From;\r\n"
    "\tb=dGhpcyBpcyBub3QgYSByZWFsIHNpZ25hdHVyZSBidXQgaXQgaGFzIHRoZSBsZW5ndGg=\r\n"
    "Message-ID: <20240514071228.GA12345@host.example.org>\r\n"
    "Date: Tue, 14 May 2024 09:12:28 +0200\r\n"
    "From: Ann Example <ann@example.org>\r\n"
    "To: Developers <dev@lists.example.org>\r\n"
    "Subject: Re: [dev] Patch for the reply reader, second round\r\n"
    "In-Reply-To: <20240513183001.GB54321@other.example.net>\r\n"
    "References: <20240513170000.GA54321@other.example.net>\r\n"
    " <20240513183001.GB54321@other.example.net>\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=us-ascii\r\n"
    "Content-Disposition: inline\r\n"
    "User-Agent: Mutt/2.2.9 (2022-11-12)\r\n"
    "X-Spam-Status: No, score=-2.1 required=5.0 tests=BAYES_00,DKIM_SIGNED,\r\n"
    "\tDKIM_VALID,SPF_PASS autolearn=ham version=3.4.6\r\n"
    "List-Id: Developers <dev.lists.example.org>\r\n"
    "List-Unsubscribe: <https://lists.example.org/mailman/options/dev>,\r\n"
    " <mailto:dev-request@lists.example.org?subject=unsubscribe>\r\n"
    "Precedence: list\r\n"
    "\r\n"
    ".\r\n";

// With the program's scanner, or (scanner:0) the table-driven one it replaced.
void BM_ParseHeader(benchmark::State& state) {
  Settings::instance().setVerbose(0);
  Settings::instance().setNormal(state.range(0) ? "yes" : "no");
  static ReferenceScanner reference;
  const bool line_scanner = state.range(1) != 0;
  for (auto _ : state) {
    MessageHeader header;
    const int result = line_scanner ? parseHeader(&kHeader, &header)
                                    : parseHeaderWith(reference, kHeader, &header);
    benchmark::DoNotOptimize(result);
    benchmark::DoNotOptimize(header.fields().size());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kHeader.size()));
}
BENCHMARK(BM_ParseHeader)->ArgNames({"normal", "scanner"})->ArgsProduct({{0, 1}, {0, 1}});

// One huge field line, as a hostile server may send: with its CR LF (kept) or without (dropped).
// The time must grow linearly with the length.
void BM_ParseLongLine(benchmark::State& state, const char* line_end) {
  Settings::instance().setVerbose(0);
  const std::string text = "Subject: " + std::string(static_cast<size_t>(state.range(0)), 'x') +
                           line_end + "Date: d\r\n\r\n.\r\n";
  for (auto _ : state) {
    MessageHeader header;
    const int result = parseHeader(&text, &header);
    benchmark::DoNotOptimize(result);
  }
  state.SetComplexityN(state.range(0));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK_CAPTURE(BM_ParseLongLine, kept, "\r\n")
    ->RangeMultiplier(4)
    ->Range(1 << 16, 1 << 24)
    ->Complexity(benchmark::oN);
BENCHMARK_CAPTURE(BM_ParseLongLine, dropped, "\n")
    ->RangeMultiplier(4)
    ->Range(1 << 16, 1 << 24)
    ->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
