#pragma once
// The e-mail route: one alarm per message (or one summary of those held back by the per-minute
// limit), sent through the route's SMTP server with libcurl, with STARTTLS and a login when the
// route has them.
#include <memory>
#include <string>
#include <vector>

#include "alarms/AlarmRoutes.h"
#include "alarms/MailLimit.h"
#include "alarms/Transfer.h"

namespace qtx::alarms {

// The whole message, headers and body, lines ending in CRLF.
std::string MailMessage(const AlarmRoute& route, const Alarm& alarm);
std::string MailSummary(const AlarmRoute& route, const MailSummaryOf& held);
// The addresses of a comma-separated list, blanks around each removed.
std::vector<std::string> MailAddresses(const std::string& list);

// The attempt, ready for curl_easy_perform or a multi handle.
std::unique_ptr<Transfer> EmailTransfer(const AlarmRoute& route, std::string message,
                                        int connectTimeoutMs, int timeoutMs);

}  // namespace qtx::alarms
