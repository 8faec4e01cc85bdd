// The AT-answer parsers over verbatim answers of an EC20: each changes exactly the fields
// its answer gave, and nothing for ERROR, partial or foreign answers.
#include "ctl_modem.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using parser = void (*)(const char *, ModemInfoRecord &);
using edit = void (*)(ModemInfoRecord &);

struct ParseCase {
    const char *name;
    parser parse;
    const char *answer;
    edit expect;           // the initial record changed as the answer says
    edit before = nullptr; // fields that earlier answers filled
};

template <std::size_t Size>
void put(char (&field)[Size], const char *text)
{
    std::memset(field, 0, Size);
    std::memcpy(field, text, std::strlen(text));
}

void nothing(ModemInfoRecord &) {}

const char *const qeng_connect =
    "AT+QENG=\"servingcell\"\r\r\n+QENG: \"servingcell\",\"CONNECT\",\"LTE\",\"FDD\",460,00,5A3B10F,123,1300,3,5,5,"
    "1A2B,-95,-10,-65,12,40\r\n\r\nOK\r\n";

const ParseCase parse_cases[] = {
    // +CSQ
    {"CsqWithEcho", modem_parse_csq, "AT+CSQ\r\r\n+CSQ: 18,99\r\n\r\nOK\r\n",
     [](ModemInfoRecord &r) { r.rssi = 18, r.ber = 99; }},
    {"CsqBothValues", modem_parse_csq, "\r\n+CSQ: 31,3\r\n\r\nOK\r\n", [](ModemInfoRecord &r) { r.rssi = 31, r.ber = 3; }},
    {"CsqNoSignal", modem_parse_csq, "\r\n+CSQ: 99,99\r\n\r\nOK\r\n", nothing},
    {"CsqOneNumberKeepsBer", modem_parse_csq, "\r\n+CSQ: 20\r\n\r\nOK\r\n", [](ModemInfoRecord &r) { r.rssi = 20; }},
    {"CsqError", modem_parse_csq, "AT+CSQ\r\r\nERROR\r\n", nothing},
    {"CsqCmeError", modem_parse_csq, "\r\n+CME ERROR: 10\r\n", nothing},
    // +CREG
    {"CregRoaming", modem_parse_creg, "\r\n+CREG: 0,5\r\n\r\nOK\r\n", [](ModemInfoRecord &r) { r.reg_status = 5; }},
    {"CregHomeWithEcho", modem_parse_creg, "AT+CREG?\r\r\n+CREG: 0,1\r\n\r\nOK\r\n",
     [](ModemInfoRecord &r) { r.reg_status = 1; }},
    {"CregOneNumber", modem_parse_creg, "\r\n+CREG: 1\r\n\r\nOK\r\n", nothing},
    {"CregError", modem_parse_creg, "\r\nERROR\r\n", nothing},
    // +COPS
    {"CopsOperatorAndTechnology", modem_parse_cops, "AT+COPS?\r\r\n+COPS: 0,0,\"CHINA MOBILE\",7\r\n\r\nOK\r\n",
     [](ModemInfoRecord &r) { put(r.operator_name, "CHINA MOBILE"), r.access_tech = 7; }},
    {"CopsNoOperator", modem_parse_cops, "\r\n+COPS: 0\r\n\r\nOK\r\n", nothing},
    {"CopsLongNameCutTo19", modem_parse_cops, "\r\n+COPS: 0,0,\"ABCDEFGHIJKLMNOPQRSTUVWXY\",2\r\n\r\nOK\r\n",
     [](ModemInfoRecord &r) { put(r.operator_name, "ABCDEFGHIJKLMNOPQRS"), r.access_tech = 2; }},
    {"CopsNameWithoutTechnologyKeepsIt", modem_parse_cops, "\r\n+COPS: 0,0,\"Vodafone\"\r\n\r\nOK\r\n",
     [](ModemInfoRecord &r) { put(r.operator_name, "Vodafone"), r.access_tech = 9; },
     [](ModemInfoRecord &r) { r.access_tech = 9; }},
    {"CopsError", modem_parse_cops, "\r\n+CME ERROR: 30\r\n", nothing},
    // +QCCID
    {"Qccid", modem_parse_qccid, "AT+QCCID\r\r\n+QCCID: 89860117851014783481\r\n\r\nOK\r\n",
     [](ModemInfoRecord &r) { put(r.iccid, "89860117851014783481"); }},
    {"QccidWithFiller", modem_parse_qccid, "\r\n+QCCID: 8986011785101478348F\r\n\r\nOK\r\n",
     [](ModemInfoRecord &r) { put(r.iccid, "8986011785101478348F"); }},
    {"QccidLongCutTo23", modem_parse_qccid, "\r\n+QCCID: 123456789012345678901234567890\r\n\r\nOK\r\n",
     [](ModemInfoRecord &r) { put(r.iccid, "12345678901234567890123"); }},
    {"QccidNoSim", modem_parse_qccid, "\r\n+CME ERROR: 10\r\n", nothing},
    // +CIMI: no prefix, the first run of digits
    {"CimiWithEcho", modem_parse_cimi, "AT+CIMI\r\r\n460011234567890\r\n\r\nOK\r\n",
     [](ModemInfoRecord &r) { put(r.imsi, "460011234567890"); }},
    {"CimiLongRunCutTo19", modem_parse_cimi, "\r\n4600112345678901234567\r\n\r\nOK\r\n",
     [](ModemInfoRecord &r) { put(r.imsi, "4600112345678901234"); }},
    {"CimiNoDigits", modem_parse_cimi, "\r\nOK\r\n", nothing},
    {"CimiErrorCodeIsNoImsi", modem_parse_cimi, "AT+CIMI\r\r\n+CME ERROR: 10\r\n", nothing},
    // +QENG="servingcell"
    {"QengConnect", modem_parse_qeng, qeng_connect,
     [](ModemInfoRecord &r) {
         r.mcc = 460, r.mnc = 0, r.cell_id = 0x5a3b10f, r.pci = 123, r.band = 3, r.tac = 0x1a2b, r.rsrp = -95,
         r.rsrq = -10, r.connected = 1;
     }},
    {"QengNoconnCountsAsConnected", modem_parse_qeng,
     "\r\n+QENG: \"servingcell\",\"NOCONN\",\"LTE\",\"TDD\",262,01,1C2D3E4,7,6300,20,5,5,FFFE,-110,-14,-80,3,20\r\n"
     "\r\nOK\r\n",
     [](ModemInfoRecord &r) {
         r.mcc = 262, r.mnc = 1, r.cell_id = 0x1c2d3e4, r.pci = 7, r.band = 20, r.tac = 0xfffe, r.rsrp = -110,
         r.rsrq = -14, r.connected = 1;
     }},
    {"QengLimitedServiceIsNotConnected", modem_parse_qeng,
     "\r\n+QENG: \"servingcell\",\"LIMSRV\",\"LTE\",\"FDD\",460,11,ABC,9,100,1,5,5,10,-120,-19,-90,0,5\r\n\r\nOK\r\n",
     [](ModemInfoRecord &r) {
         r.mcc = 460, r.mnc = 11, r.cell_id = 0xabc, r.pci = 9, r.band = 1, r.tac = 16, r.rsrp = -120, r.rsrq = -19;
     }},
    {"QengSearchingHasNoCell", modem_parse_qeng, "\r\n+QENG: \"servingcell\",\"SEARCH\"\r\n\r\nOK\r\n", nothing},
    {"QengStopsAfterMnc", modem_parse_qeng, "\r\n+QENG: \"servingcell\",\"NOCONN\",\"LTE\",\"FDD\",460,01\r\n\r\nOK\r\n",
     [](ModemInfoRecord &r) { r.mcc = 460, r.mnc = 1, r.connected = 1; }},
    {"QengStopsAfterPci", modem_parse_qeng,
     "\r\n+QENG: \"servingcell\",\"CONNECT\",\"LTE\",\"FDD\",460,00,5A3B10F,123\r\n\r\nOK\r\n",
     [](ModemInfoRecord &r) { r.mcc = 460, r.cell_id = 0x5a3b10f, r.pci = 123, r.connected = 1; }},
    {"QengError", modem_parse_qeng, "\r\nERROR\r\n", nothing},
    // +QNWINFO
    {"QnwinfoFillsAMissingBand", modem_parse_qnwinfo,
     "AT+QNWINFO\r\r\n+QNWINFO: \"FDD LTE\",\"46000\",\"LTE BAND 3\",1300\r\n\r\nOK\r\n",
     [](ModemInfoRecord &r) { r.band = 3; }},
    {"QnwinfoNeverOverridesTheServingCellBand", modem_parse_qnwinfo,
     "\r\n+QNWINFO: \"FDD LTE\",\"46000\",\"LTE BAND 3\",1300\r\n\r\nOK\r\n",
     [](ModemInfoRecord &r) { r.band = 20, r.tac = 0x1a2b; }, [](ModemInfoRecord &r) { r.band = 20, r.tac = 0x1a2b; }},
    {"QnwinfoChannelIsNoTrackingAreaCode", modem_parse_qnwinfo,
     "\r\n+QNWINFO: \"FDD LTE\",\"46000\",\"LTE BAND 3\",1300\r\n\r\nOK\r\n",
     [](ModemInfoRecord &r) { r.band = 3, r.tac = 77; }, [](ModemInfoRecord &r) { r.tac = 77; }},
    {"QnwinfoWcdmaBand", modem_parse_qnwinfo, "\r\n+QNWINFO: \"WCDMA\",\"46001\",\"WCDMA 2100\",10700\r\n\r\nOK\r\n",
     nothing},
    {"QnwinfoWithoutChannel", modem_parse_qnwinfo, "\r\n+QNWINFO: \"FDD LTE\",\"46000\",\"LTE BAND 3\"\r\n\r\nOK\r\n",
     nothing},
    {"QnwinfoNoService", modem_parse_qnwinfo, "\r\n+QNWINFO: No Service\r\n\r\nOK\r\n", nothing},
};

class ParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, ChangesOnlyWhatTheAnswerGave)
{
    const ParseCase &c = GetParam();
    ModemInfoRecord record = modem_initial_record();
    if (c.before != nullptr)
        c.before(record);
    ModemInfoRecord expected = modem_initial_record();
    c.expect(expected);
    c.parse(c.answer, record);
    EXPECT_EQ(std::memcmp(&record, &expected, sizeof record), 0)
        << "rssi " << +record.rssi << " ber " << +record.ber << " reg " << +record.reg_status << " tech "
        << +record.access_tech << " iccid " << record.iccid << " imsi " << record.imsi << " op "
        << record.operator_name << " mcc " << record.mcc << " mnc " << +record.mnc << " tac " << record.tac
        << " cell " << record.cell_id << " band " << +record.band << " pci " << record.pci << " rsrp "
        << record.rsrp << " rsrq " << record.rsrq << " conn " << +record.connected;
}

INSTANTIATE_TEST_SUITE_P(Answers, ParseTest, testing::ValuesIn(parse_cases),
                         [](const auto &param) { return std::string(param.param.name); });

TEST(ModemParse, EveryCutOfEveryAnswerStaysInsideTheRecord)
{
    // A modem may stop anywhere (full buffer, silence): every parser must cope with every
    // prefix of every answer, and never write a byte outside the fields it fills.
    const parser parsers[] = {modem_parse_csq,  modem_parse_creg, modem_parse_cops,   modem_parse_qccid,
                              modem_parse_cimi, modem_parse_qeng, modem_parse_qnwinfo};
    for (const ParseCase &c : parse_cases) {
        std::string answer = c.answer;
        for (std::size_t length = 0; length <= answer.size(); length++) {
            std::string cut = answer.substr(0, length);
            for (parser parse : parsers) {
                ModemInfoRecord record = modem_initial_record();
                parse(cut.c_str(), record);
                EXPECT_EQ(record.status, 1);
                EXPECT_EQ(record.unused[0] | record.unused[1] | record.unused[2], 0);
                EXPECT_EQ(record.iccid[sizeof record.iccid - 1], 0);
                EXPECT_EQ(record.imsi[sizeof record.imsi - 1], 0);
                EXPECT_EQ(record.operator_name[sizeof record.operator_name - 1], 0);
            }
        }
    }
}

TEST(ModemRecord, InitialValues)
{
    ModemInfoRecord record = modem_initial_record();
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(&record);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes[1], 99);
    EXPECT_EQ(bytes[2], 99);
    for (std::size_t i = 3; i < sizeof record; i++)
        EXPECT_EQ(bytes[i], 0) << "byte " << i;
}

}  // namespace
