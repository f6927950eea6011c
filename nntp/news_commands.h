// The news door's commands: one command line at a time, its reply appended to the
// session's output (or a ReplyMaker set for a long one), and the login's held steps.
#pragma once
#include <string_view>

#include "core/connection.h"

class NewsSession;

// Thrown inside a step to close the connection; caught once at the end of the step.
struct NewsStepFailure {};

// Runs one command line (without its line end).
void runCommand(NewsSession& session, std::string_view line, const Now& now);
// The article that followed a POST is whole (session.article, its lines undotted with CRLF
// ends): stored or refused, with the reply; or, while another program is writing the area
// and session.giveUpAt is not reached, held back (true) to be tried again.
bool postArticle(NewsSession& session, const Now& now);
// A held login step whose wait is over: the password is weighed, or the refusal goes out.
void continueLogin(NewsSession& session, const Now& now);
// The settings were read again: the session's user is found again (or the session closed).
void newsSettingsReloaded(NewsSession& session, const Now& now);
