// identify.cpp - identification of one field address: the three holding-register queries,
// model decoding, the translation rule, and the report line on standard output.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "discovery.h"
#include "internal.h"

const IdentQueryEntry IdentQuery[4] = {
    {5, {0x03, 0x00, 0x00, 0x00, 0x01}, {0, 0, 0, 0}},  // identification words 1 and 2
    {5, {0x03, 0x00, 0x01, 0x00, 0x02}, {0, 0, 0, 0}},  // model code
    {5, {0x03, 0x00, 0x06, 0x00, 0x01}, {0, 0, 0, 0}},  // version word
    {5, {0xFD, 0x08, 0x00, 0x00, 0x01}, {0, 0, 0, 0}},  // line-test poll of address 249
};

RtuFrame *CurrentRequest = nullptr;

namespace {

uint8_t RuleBytes[9];     // latest query-2 reply of at most 9 bytes, for the rule match
uint8_t ReportBytes[12];  // data bytes of each query-2 reply; never cleared

bool BuildRequest(int address, int entry)
{
    CurrentRequest = FreeRtuFrame(CurrentRequest);
    CurrentRequest = MakeRtuFrame(uint8_t(address), IdentQuery[entry].payload,
                                  IdentQuery[entry].length);
    return CurrentRequest != nullptr;
}

// One complete attempt of queries 2 and 3: build, send once, receive.
bool Attempt(int address, int entry)
{
    if (!BuildRequest(address, entry))
        return false;
    if (SendRtuFrame(CurrentRequest, LineFd) == 0)
        return false;
    return ReceiveRtuFrame(LineFd, uint8_t(address));
}

bool AttemptTwice(int address, int entry)
{
    return Attempt(address, entry) || Attempt(address, entry);
}

void PrintShortLine(long lineId, int address)
{
    printf("%011ld,%03d\n", lineId, address);
    fflush(stdout);
}

// Bytes 0 and 1 of the last reply; a byte the reply does not hold reads as 0.
uint8_t ReplyByte(int index)
{
    return (LastResponse && index < LastResponse->length) ? LastResponse->data[index] : 0;
}

} // namespace

void IdentifyAddress(const char *lineIdText, int address)
{
    char report[100];
    memset(report, 0, sizeof report);
    const long lineId = Decimal32(lineIdText);

    // Query 1: sent a second time only when the first send fails.
    if (!BuildRequest(address, 0))
        return;
    if (SendRtuFrame(CurrentRequest, LineFd) == 0 && SendRtuFrame(CurrentRequest, LineFd) == 0)
        return;
    if (!ReceiveRtuFrame(LineFd, uint8_t(address))) {
        PrintShortLine(lineId, address);
        return;
    }
    snprintf(report, sizeof report, "%011ld,%03d,", lineId, address);
    uint16_t word1 = ReplyByte(0);
    uint16_t word2 = ReplyByte(1);
    if (DebugFlag)
        fprintf(stderr, "Query_1=[%02X %02X]\n", word1, word2);

    // Query 2: the model code.
    if (!AttemptTwice(address, 1)) {
        PrintShortLine(lineId, address);
        return;
    }
    char model[20];
    if (LastResponse->length <= sizeof RuleBytes)
        memcpy(RuleBytes, LastResponse->data, LastResponse->length);
    snprintf(model, sizeof model, "%s", DecodeModelCode(LastResponse->data, LastResponse->length));
    if (DebugFlag)
        fprintf(stderr, "Query_2=[%s]\n", model);
    size_t reportCount = LastResponse->length < sizeof ReportBytes ? LastResponse->length
                                                                   : sizeof ReportBytes;
    memcpy(ReportBytes, LastResponse->data, reportCount);

    // Query 3: the version word.
    if (!AttemptTwice(address, 2)) {
        PrintShortLine(lineId, address);
        return;
    }
    uint16_t word3 = uint16_t(ReplyByte(0) * 256 + ReplyByte(1));
    if (DebugFlag)
        fprintf(stderr, "Query_3=[%04X]\n", word3);

    if (const TransRule *rule = MatchTransRule(RuleBytes, word1, word2, word3)) {
        if (rule->modelName[0] != '\0')
            snprintf(model, sizeof model, "%s", rule->modelName);
        if (rule->outWord1 != 0xFFFF)
            word1 = rule->outWord1;
        if (rule->outWord2 != 0xFFFF)
            word2 = rule->outWord2;
        if (rule->outWord3 != 0xFFFF)
            word3 = rule->outWord3;
    }

    char ident[64];
    snprintf(ident, sizeof ident, "%04x,%04x,%s,%04x", word1, word2, model, word3);
    size_t used = strlen(report);
    snprintf(report + used, sizeof report - used, "%s,[ %02x %02x %02x %02x ]", strupr(ident),
             ReportBytes[0], ReportBytes[1], ReportBytes[2], ReportBytes[3]);
    fputs(report, stdout);
    fputs("\n", stdout);
    fflush(stdout);
}
