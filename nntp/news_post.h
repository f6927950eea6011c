// An article posted through the news door, made a FidoNet message: the MIME decoded, the
// text converted to the area's charset, the thread and the addressee found, and the post
// stored through the desk with the same rights and post rules as every door's posts. A
// cancel is a delete under the delete rights.
#pragma once
#include <string>
#include <string_view>

#include "accounts/users.h"
#include "core/connection.h"
#include "core/services.h"
#include "nntp/groups.h"
#include "nntp/news_store.h"

// Stores the article (its lines undotted, CRLF ends) for the user; the reply line to send
// ("240 Article received OK", "441 ..."), without its line end. The console hears of the
// post as of any other, and of every refusal with its cause. When another program is in
// the middle of writing the area and `mayHoldBack` is true, nothing is done and `heldBack`
// says so: the caller tries again a moment later.
std::string storePost(Services& services, const NewsGroups& groups, NewsStore& store, const rClientInfo& user,
                      std::string_view article, const Now& now, bool mayHoldBack, bool& heldBack);
