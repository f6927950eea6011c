#include "lzw_oracle/echomail_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

namespace {

const char* const kWords[] = {
    "the",     "message", "area",    "echo",     "node",    "point",   "reply",  "and",     "to",
    "of",      "you",     "is",      "that",     "it",      "for",     "on",     "with",    "this",
    "mail",    "tosser",  "squish",  "netmail",  "sysop",   "files",   "hello",  "all",     "regards",
    "thanks",  "please",  "version", "config",   "problem", "works",   "again",  "today",   "fido",
    "address", "zone",    "net",     "binkley",  "modem",   "line",    "week",   "board",   "user",
    "were",    "would",   "could",   "should",   "about",   "there",   "their",  "because", "server",
    "client",  "packet",  "outbound", "inbound", "archive", "nodelist", "update", "weekend", "question",
    "answer",  "maybe",   "never",   "always",   "still",   "think",   "know",   "remember", "before",
};

void appendWords(std::mt19937& rng, std::string& out, int count) {
    std::uniform_int_distribution<size_t> pick(0, std::size(kWords) - 1);
    for (int i = 0; i < count; ++i) {
        if (i) out += ' ';
        out += kWords[pick(rng)];
    }
}

}  // namespace

std::vector<uint8_t> echomailText(std::mt19937& rng, size_t size) {
    const char* const names[] = {"Alex Petrov", "Jan de Vries", "Maria Rossi", "Tom Berg", "Ken Ito"};
    std::uniform_int_distribution<int> small(0, 9), node(1, 4000), hex(0, 0x7fffffff);
    std::string s;
    s.reserve(size + 1024);
    while (s.size() < size) {
        char buf[96];
        snprintf(buf, sizeof buf, "\x01MSGID: 2:5020/%d.%d %08x\r", node(rng), small(rng), unsigned(hex(rng)));
        s += buf;
        snprintf(buf, sizeof buf, "\x01REPLY: 2:5020/%d %08x\r", node(rng), unsigned(hex(rng)));
        s += buf;
        s += "\x01PID: GoldED+/LNX 1.1.5\r\x01" "CHRS: CP866 2\r\x01TZUTC: 0300\r";
        const char* who = names[small(rng) % std::size(names)];
        s += std::string("Hello ") + who + "!\r\r";
        const char initials[3] = {who[0], strchr(who, ' ')[1], 0};
        for (int block = small(rng) % 3 + 1; block > 0; --block) {
            for (int q = small(rng) % 4 + 1; q > 0; --q) {
                s += std::string(" ") + initials + "> ";
                appendWords(rng, s, 6 + small(rng));
                s += '\r';
            }
            s += '\r';
            for (int p = small(rng) % 5 + 1; p > 0; --p) {
                appendWords(rng, s, 8 + small(rng));
                s += '\r';
            }
            s += '\r';
        }
        s += "--- GoldED+/LNX 1.1.5\r * Origin: Quiet node in the suburbs (2:5020/";
        s += std::to_string(node(rng)) + ")\rSEEN-BY: 5020/";
        for (int k = 0; k < 14; ++k) s += std::to_string(node(rng)) + " ";
        s += "\r\x01PATH: 5020/1042 ";
        s += std::to_string(node(rng)) + "\r";
    }
    s.resize(size);
    return std::vector<uint8_t>(s.begin(), s.end());
}

// ---------------------------------------------------------------------------------------
// Texts with a vocabulary of thousands of words

namespace {

// UTF-8 text of ASCII and Cyrillic letters (А..я, Ё, ё) in CP866: А..п are 0x80..0xAF,
// р..я 0xE0..0xEF, Ё 0xF0, ё 0xF1.
std::string cp866(const char* utf8) {
    std::string out;
    for (const uint8_t* p = reinterpret_cast<const uint8_t*>(utf8); *p;) {
        if (*p < 0x80) {
            out += char(*p++);
            continue;
        }
        const uint32_t c = (uint32_t(p[0] & 0x1F) << 6) | (p[1] & 0x3F);
        p += 2;
        if (c >= 0x410 && c < 0x440)
            out += char(0x80 + (c - 0x410));
        else if (c >= 0x440 && c < 0x450)
            out += char(0xE0 + (c - 0x440));
        else if (c == 0x401)
            out += char(0xF0);
        else if (c == 0x451)
            out += char(0xF1);
        else
            out += '?';
    }
    return out;
}

// Draws an index below n with weight 1 / (index + offset)^exponent: a few words carry most
// of a text, the long tail makes the vocabulary.
class ZipfPick {
public:
    ZipfPick(size_t n, double exponent, double offset) : cumulative(n) {
        double sum = 0;
        for (size_t i = 0; i < n; ++i) cumulative[i] = sum += 1.0 / std::pow(double(i) + offset, exponent);
    }
    size_t operator()(std::mt19937& rng) const {
        const double u = std::uniform_real_distribution<double>(0, cumulative.back())(rng);
        const size_t i = size_t(std::upper_bound(cumulative.begin(), cumulative.end(), u) - cumulative.begin());
        return std::min(i, cumulative.size() - 1);
    }

private:
    std::vector<double> cumulative;
};

// What the two languages supply to one message generator; every string is in the text's
// own encoding.
struct Language {
    std::vector<std::string> words;  // most frequent first
    std::vector<std::string> firstNames, lastNames;
    std::vector<std::string> greetings;  // "%s" takes the first name
    std::vector<std::string> signOffs;   // "%s" takes the writer's first name
    std::vector<std::string> origins;
    std::vector<std::string> subjects;
    std::string wrote;        // "%s" takes the quoted writer's full name
    std::string charset;      // the CHRS kludge's value
    double exponent, offset;  // of the word frequencies
};

std::string format(const std::string& pattern, const std::string& value) {
    std::string s = pattern;
    const size_t at = s.find("%s");
    if (at != std::string::npos) s.replace(at, 2, value);
    return s;
}

// Both texts are in one-byte charsets: the initial is the first byte.
std::string initialOf(const std::string& name) { return name.substr(0, 1); }

std::string address(std::mt19937& rng) {
    std::uniform_int_distribution<int> zone(1, 4), net(100, 9999), node(1, 999), point(0, 30);
    const int z = zone(rng), n = net(rng), f = node(rng), p = point(rng) < 25 ? 0 : point(rng);
    std::string s = std::to_string(z) + ":" + std::to_string(n) + "/" + std::to_string(f);
    if (p) s += "." + std::to_string(p);
    return s;
}

// The first letter in capitals: ASCII, and the CP866 small letters а..п (0xA0..0xAF) and
// р..я (0xE0..0xEF), whose capitals are 0x80..0x9F.
void capitalize(std::string& word) {
    const uint8_t c = uint8_t(word[0]);
    if (c >= 'a' && c <= 'z')
        word[0] = char(c - 'a' + 'A');
    else if (c >= 0xA0 && c <= 0xAF)
        word[0] = char(c - 0x20);
    else if (c >= 0xE0 && c <= 0xEF)
        word[0] = char(c - 0x50);
}

// Words drawn from the language, with an occasional number, address, file name or first
// name, broken into lines of at most `width` columns.
void appendParagraph(std::mt19937& rng, const Language& lang, const ZipfPick& pick, std::string& out,
                     const std::string& prefix, int sentences, size_t width, std::vector<std::string>& lines) {
    std::uniform_int_distribution<int> length(4, 16), odd(0, 99), punct(0, 9);
    std::string line = prefix;
    auto add = [&](const std::string& word) {
        if (line.size() > prefix.size() && line.size() + 1 + word.size() > width) {
            lines.push_back(line);
            out += line + "\r";
            line = prefix;
        }
        if (line.size() > prefix.size()) line += ' ';
        line += word;
    };
    for (int s = 0; s < sentences; ++s) {
        const int n = length(rng);
        for (int w = 0; w < n; ++w) {
            std::string word;
            switch (odd(rng)) {
            case 0: word = std::to_string(std::uniform_int_distribution<int>(2, 65535)(rng)); break;
            case 1: word = address(rng); break;
            case 2: {
                char buf[24];
                snprintf(buf, sizeof buf, "%c%c%04X.%s", 'A' + odd(rng) % 26, 'A' + odd(rng) % 26,
                         unsigned(std::uniform_int_distribution<int>(0, 0xffff)(rng)), odd(rng) < 20 ? "ZIP" : "TXT");
                word = buf;
                break;
            }
            case 3: word = lang.firstNames[size_t(odd(rng)) % lang.firstNames.size()]; break;
            default: word = lang.words[pick(rng)];
            }
            if (w == 0) capitalize(word);
            if (w == n - 1) word += punct(rng) < 7 ? "." : punct(rng) < 5 ? "?" : "!";
            else if (punct(rng) == 0) word += ',';
            add(word);
        }
    }
    if (line.size() > prefix.size()) {
        lines.push_back(line);
        out += line + "\r";
    }
}

std::vector<uint8_t> messagesOf(std::mt19937& rng, const Language& lang, size_t size) {
    const ZipfPick pick(lang.words.size(), lang.exponent, lang.offset);
    std::uniform_int_distribution<size_t> first(0, lang.firstNames.size() - 1), last(0, lang.lastNames.size() - 1);
    std::uniform_int_distribution<int> small(0, 9), hex(0, 0x7fffffff), node(1, 999);
    auto oneOf = [&](const std::vector<std::string>& v) { return v[std::uniform_int_distribution<size_t>(0, v.size() - 1)(rng)]; };
    const char* const editors[] = {"GoldED+/LNX 1.1.5", "GoldED+/W32-MINGW 1.1.5", "FastEcho 1.46", "hpt/lnx 1.9.0",
                                   "Msged/LNX 6.3", "SqED/386 1.15"};

    std::vector<std::string> links;  // net/node, in the order SEEN-BY lists them
    for (int net = 4500; links.size() < 24; net += small(rng) < 3)
        links.push_back(std::to_string(net) + "/" + std::to_string(node(rng)));

    std::string s;
    s.reserve(size + 4096);
    std::vector<std::string> previous;  // body lines of the message before, for quoting
    std::string previousFirst = lang.firstNames[0], previousLast = lang.lastNames[0];
    while (s.size() < size) {
        const std::string myFirst = lang.firstNames[first(rng)], myLast = lang.lastNames[last(rng)];
        const std::string editor = editors[size_t(small(rng)) % std::size(editors)];
        char buf[160];
        snprintf(buf, sizeof buf, "\x01MSGID: %s %08x\r", address(rng).c_str(), unsigned(hex(rng)));
        s += buf;
        const bool reply = !previous.empty() && small(rng) < 7;
        if (reply) {
            snprintf(buf, sizeof buf, "\x01REPLY: %s %08x\r", address(rng).c_str(), unsigned(hex(rng)));
            s += buf;
        }
        s += "\x01PID: " + editor + "\r\x01" "CHRS: " + lang.charset + " 2\r\x01TZUTC: 0" +
             std::to_string(small(rng) % 4) + "00\r";
        s += format(oneOf(lang.greetings), reply ? previousFirst : std::string("All")) + "\r\r";

        std::vector<std::string> body;
        const std::string initials = " " + initialOf(previousFirst) + initialOf(previousLast) + "> ";
        if (reply) {
            s += format(lang.wrote, previousFirst + " " + previousLast) + "\r\r";
        }
        for (int block = small(rng) % 3 + 1; block > 0; --block) {
            if (reply) {
                const size_t from = std::uniform_int_distribution<size_t>(0, previous.size() - 1)(rng);
                const size_t count = std::min(previous.size() - from, size_t(small(rng) % 4 + 1));
                for (size_t q = from; q < from + count; ++q) s += initials + previous[q] + "\r";
                s += "\r";
            }
            appendParagraph(rng, lang, pick, s, "", small(rng) % 4 + 1, 76, body);
            s += "\r";
        }
        s += format(oneOf(lang.signOffs), myFirst) + "\r\r";
        s += "--- " + editor + "\r * Origin: " + oneOf(lang.origins) + " (" + address(rng) + ")\r";
        // The echo's links, each seen or not: SEEN-BY lines of one echo are much alike.
        s += "SEEN-BY:";
        for (const std::string& link : links)
            if (small(rng) < 6) s += " " + link;
        s += "\r\x01PATH: " + links[size_t(small(rng))] + " " + links[size_t(node(rng)) % links.size()] + "\r";
        previous = body;
        previousFirst = myFirst;
        previousLast = myLast;
    }
    s.resize(size);
    return std::vector<uint8_t>(s.begin(), s.end());
}

const char* const kEnglishWords[] = {
    // The frequent ones first.
    "the", "to", "and", "of", "a", "in", "is", "it", "you", "that", "for", "on", "with", "this", "was", "be",
    "have", "not", "are", "but", "at", "or", "from", "by", "as", "my", "we", "they", "can", "will", "do",
    "all", "if", "so", "there", "what", "one", "about", "your", "out", "up", "just", "no", "more", "when",
    "some", "would", "time", "like", "me", "he", "which", "their", "them", "then", "than", "only", "has",
    "been", "also", "any", "know", "other", "into", "could", "now", "here", "how", "get", "see", "way",
    "because", "should", "still", "think", "why", "even", "new", "after", "where", "again", "never", "much",
    "most", "very", "well", "back", "over", "same", "before", "first", "last", "those", "these", "while",
    // The long tail.
    "account", "address", "advice", "afternoon", "airport", "alarm", "answer", "apartment", "apple", "archive",
    "argument", "article", "autumn", "backup", "balance", "band", "bank", "battery", "beach", "bicycle", "bill",
    "binary", "birthday", "blanket", "board", "boat", "book", "border", "bottle", "branch", "bread", "bridge",
    "brother", "budget", "buffer", "building", "bulletin", "business", "button", "cable", "calendar", "camera",
    "candle", "capital", "captain", "carpet", "castle", "cellar", "century", "chair", "channel", "chapter",
    "charge", "cheese", "chicken", "child", "chimney", "church", "circuit", "citizen", "city", "climate",
    "clock", "cloud", "coast", "coffee", "collection", "colour", "command", "committee", "company", "compiler",
    "computer", "concert", "condition", "conference", "connection", "console", "contract", "copy", "corner",
    "cottage", "council", "country", "county", "courier", "cousin", "crowd", "culture", "cupboard", "customer",
    "database", "daughter", "debate", "decision", "default", "delivery", "desert", "device", "diary", "dinner",
    "directory", "disaster", "discount", "disk", "distance", "district", "doctor", "document", "dollar", "door",
    "download", "dragon", "drawer", "driver", "editor", "election", "engine", "engineer", "envelope", "error",
    "evening", "event", "exchange", "factory", "family", "farmer", "father", "feature", "fence", "festival",
    "field", "figure", "filter", "finger", "firmware", "flight", "floppy", "flower", "folder", "forest",
    "format", "fortune", "forum", "fountain", "freeware", "friend", "frontier", "fruit", "furniture", "gallery",
    "garage", "garden", "gateway", "glass", "government", "grandmother", "guitar", "hammer", "handle",
    "harbour", "hardware", "harvest", "header", "heaven", "highway", "history", "holiday", "horizon",
    "hospital", "hotel", "household", "hunter", "husband", "island", "jacket", "journal", "journey", "judge",
    "keyboard", "kitchen", "kludge", "ladder", "landlord", "language", "lawyer", "leader", "lecture",
    "letter", "library", "licence", "lighthouse", "limit", "listener", "lunch", "machine", "magazine",
    "manager", "manual", "market", "meadow", "meeting", "memory", "message", "method", "midnight", "minister",
    "minute", "mirror", "mistake", "modem", "module", "moment", "monitor", "morning", "mother", "mountain",
    "museum", "musician", "neighbour", "network", "newspaper", "nodelist", "notebook", "number", "ocean",
    "office", "operator", "orange", "orchestra", "outbound", "packet", "painter", "parcel", "parent",
    "parliament", "partner", "password", "passenger", "pattern", "payment", "pencil", "pepper", "picture",
    "pilot", "planet", "platform", "pocket", "poem", "police", "politics", "potato", "powder", "printer",
    "prison", "problem", "process", "product", "professor", "program", "project", "protocol", "province",
    "puzzle", "quarter", "question", "railway", "reader", "reason", "receipt", "record", "region", "release",
    "report", "request", "restaurant", "result", "review", "ribbon", "river", "router", "sailor", "salad",
    "sandwich", "satellite", "schedule", "scholar", "science", "screen", "script", "season", "secretary",
    "sector", "server", "session", "settlement", "shadow", "shelf", "shepherd", "shoulder", "signal", "silver",
    "sister", "soldier", "speaker", "spring", "station", "storage", "storm", "stranger", "street", "student",
    "subject", "suburb", "summer", "supper", "surface", "switch", "system", "table", "teacher", "telephone",
    "terminal", "theatre", "thunder", "ticket", "timer", "tomato", "tosser", "tower", "traffic", "train",
    "traveller", "treasure", "tunnel", "uncle", "uniform", "upgrade", "utility", "valley", "vendor", "version",
    "village", "visitor", "volume", "wallet", "warning", "weather", "wedding", "weekend", "window", "winter",
    "wizard", "worker", "writer", "yard", "zone",
    "absolutely", "actually", "almost", "already", "always", "anyway", "apparently", "barely", "certainly",
    "clearly", "completely", "currently", "definitely", "easily", "entirely", "especially", "eventually",
    "exactly", "finally", "frankly", "generally", "gradually", "hardly", "honestly", "immediately", "indeed",
    "largely", "lately", "maybe", "merely", "mostly", "nearly", "normally", "obviously", "originally",
    "perhaps", "possibly", "probably", "quickly", "quietly", "rarely", "really", "recently", "seriously",
    "simply", "slightly", "slowly", "sometimes", "soon", "suddenly", "surely", "together", "tomorrow",
    "tonight", "truly", "usually", "yesterday",
    "accept", "admit", "allow", "appear", "arrive", "attach", "avoid", "believe", "belong", "borrow", "break",
    "bring", "build", "burn", "call", "carry", "catch", "change", "check", "choose", "climb", "close",
    "collect", "compare", "complain", "compile", "configure", "connect", "consider", "continue", "convert",
    "correct", "count", "cover", "crash", "create", "decide", "delete", "deliver", "depend", "describe",
    "destroy", "disconnect", "discover", "discuss", "divide", "drink", "drive", "drop", "enjoy", "enter",
    "escape", "expect", "explain", "fail", "fetch", "fill", "find", "finish", "fix", "follow", "forget",
    "forgive", "forward", "gather", "guess", "hang", "happen", "hate", "hear", "help", "hide", "hold", "hope",
    "ignore", "imagine", "improve", "include", "install", "invite", "join", "jump", "keep", "kill", "laugh",
    "learn", "leave", "lend", "listen", "live", "look", "lose", "love", "manage", "mention", "mind", "miss",
    "move", "need", "notice", "offer", "open", "order", "pack", "patch", "pay", "pick", "plan", "play", "poll",
    "post", "prefer", "prepare", "print", "promise", "protect", "prove", "pull", "push", "quote", "raise",
    "reach", "read", "receive", "recommend", "refuse", "remember", "remove", "repair", "repeat", "replace",
    "reply", "rescan", "restart", "return", "route", "run", "save", "scan", "search", "sell", "send", "share",
    "shout", "show", "sing", "sleep", "smile", "solve", "sort", "speak", "spend", "split", "start", "stay",
    "steal", "stop", "study", "subscribe", "suggest", "suppose", "switch", "take", "talk", "teach", "tell",
    "test", "thank", "throw", "toss", "touch", "travel", "trust", "try", "turn", "unpack", "update", "upload",
    "use", "visit", "wait", "walk", "want", "wash", "watch", "wonder", "work", "worry", "write",
    "angry", "ancient", "awful", "beautiful", "bitter", "blind", "boring", "brave", "bright", "broken", "busy",
    "careful", "cheap", "clever", "cold", "comfortable", "common", "complex", "crazy", "curious", "dangerous",
    "dark", "dead", "deep", "different", "difficult", "dirty", "dry", "early", "empty", "enormous", "equal",
    "expensive", "famous", "fast", "fine", "foreign", "free", "fresh", "friendly", "full", "funny", "gentle",
    "glad", "golden", "green", "grey", "happy", "hard", "healthy", "heavy", "helpful", "honest", "horrible",
    "huge", "hungry", "important", "impossible", "interesting", "kind", "large", "late", "lazy", "legal",
    "little", "local", "lonely", "long", "loud", "lucky", "modern", "narrow", "nervous", "noisy", "obvious",
    "old", "ordinary", "patient", "perfect", "pleasant", "polite", "poor", "popular", "powerful", "private",
    "proper", "proud", "public", "quick", "quiet", "rare", "ready", "real", "rich", "right", "rough", "rude",
    "sad", "safe", "serious", "sharp", "short", "silly", "simple", "slow", "small", "smart", "soft", "solid",
    "special", "square", "stable", "strange", "strict", "strong", "stupid", "sudden", "sweet", "tall",
    "terrible", "thick", "thin", "tired", "tiny", "total", "tough", "true", "ugly", "unusual", "useful",
    "useless", "warm", "weak", "wet", "whole", "wide", "wild", "wise", "wonderful", "wrong", "young",
};

// Forms built on the words of the long tail, for a vocabulary of thousands.
const char* const kEnglishEndings[] = {"", "s", "ed", "ing", "er", "ly"};

const char* const kEnglishFirstNames[] = {
    "Alex", "Andrew", "Anna", "Bernd", "Bob", "Carlos", "Chris", "Claudia", "Daniel", "David", "Dirk", "Elena",
    "Eric", "Frank", "Gerd", "Hans", "Helen", "Ian", "Jack", "Jan", "Jim", "Joe", "John", "Karl", "Kees", "Ken",
    "Lars", "Linda", "Marco", "Maria", "Mark", "Martin", "Michael", "Mike", "Nick", "Olaf", "Paul", "Pete",
    "Ralf", "Richard", "Rob", "Roger", "Ron", "Sam", "Sean", "Steve", "Thomas", "Tim", "Tom", "Wim"};
const char* const kEnglishLastNames[] = {
    "Andersen", "Baker", "Berg", "Brown", "Carter", "Clark", "Cohen", "de Boer", "de Vries", "Dijkstra",
    "Evans", "Fischer", "Garcia", "Green", "Hall", "Hansen", "Harris", "Hoffmann", "Ito", "Jansen", "Johnson",
    "Jones", "Keller", "King", "Koch", "Larsen", "Lee", "Lewis", "Martin", "Meyer", "Miller", "Moore",
    "Nielsen", "Novak", "Olsen", "Parker", "Petrov", "Rossi", "Schmidt", "Schulz", "Smith", "Taylor", "Thomas",
    "Turner", "van Dijk", "Walker", "Weber", "White", "Wilson", "Wright"};

Language english() {
    Language lang;
    constexpr size_t kFrequent = 100;  // the words before the long tail
    lang.words.assign(std::begin(kEnglishWords), std::begin(kEnglishWords) + kFrequent);
    // The long tail in every form, the plain forms the most frequent.
    for (const char* ending : kEnglishEndings)
        for (size_t i = kFrequent; i < std::size(kEnglishWords); ++i)
            lang.words.push_back(std::string(kEnglishWords[i]) + ending);
    lang.firstNames.assign(std::begin(kEnglishFirstNames), std::end(kEnglishFirstNames));
    lang.lastNames.assign(std::begin(kEnglishLastNames), std::end(kEnglishLastNames));
    lang.greetings = {"Hello %s!", "Hi %s,", "Greetings, %s!", "Good day %s.", "Dear %s,"};
    lang.signOffs = {"Regards, %s", "Best regards, %s.", "Cheers, %s", "Bye for now, %s", "%s"};
    lang.origins = {"Quiet node in the suburbs", "The Lighthouse BBS", "Dial in, if you still can",
                    "Old Town Fido point", "Mail runs at night", "Somewhere under the rainbow"};
    lang.wrote = "In a message to All, %s wrote:";
    lang.charset = "CP437";
    lang.exponent = 1.1;
    lang.offset = 2.7;
    return lang;
}


const char* const kRussianWords[] = {
    // The frequent ones first.
    "и", "в", "не", "на", "я", "что", "с", "он", "а", "как", "это", "по", "но", "к", "у", "из", "за", "так",
    "же", "от", "все", "бы", "о", "мне", "только", "уже", "вот", "если", "или", "ну", "да", "нет", "есть",
    "был", "было", "тут", "там", "когда", "может", "еще", "ты", "вы", "мы", "для", "до", "при", "тебе",
    "меня", "тоже", "очень", "его", "ее", "их", "они", "она", "себя", "чем", "где", "кто", "сейчас", "потом",
    "даже", "можно", "нужно", "надо", "просто", "вообще", "кстати", "конечно", "значит", "например", "правда",
    // The long tail.
    "сообщение", "сообщения", "сообщений", "эха", "эхе", "эхи", "эху", "нода", "ноды", "ноде", "ноду", "нод",
    "поинт", "поинта", "поинты", "сисоп", "сисопа", "сисопу", "модем", "модема", "модемы", "файл", "файла",
    "файлы", "файлов", "письмо", "письма", "писем", "почта", "почты", "почту", "сеть", "сети", "адрес",
    "адреса", "сервер", "сервера", "программа", "программы", "программу", "версия", "версии", "версию",
    "конфиг", "конфига", "ошибка", "ошибки", "ошибку", "проблема", "проблемы", "проблему", "вопрос",
    "вопроса", "вопросы", "ответ", "ответа", "ответы", "компьютер", "компьютера", "диск", "диска", "архив",
    "архива", "тоссер", "тоссера", "линк", "линка", "линки", "нодлист", "нодлиста", "обновление",
    "обновления", "город", "города", "дом", "дома", "работа", "работы", "работу", "время", "времени", "день",
    "дня", "дни", "неделя", "недели", "неделю", "месяц", "месяца", "год", "года", "лет", "человек", "люди",
    "людей", "друг", "друга", "друзья", "жизнь", "жизни", "деньги", "денег", "машина", "машины", "дорога",
    "дороги", "вода", "воды", "погода", "погоды", "зима", "зимы", "лето", "лета", "весна", "осень", "утро",
    "вечер", "ночь", "ночью", "слово", "слова", "книга", "книги", "фильм", "фильма", "музыка", "музыки",
    "пиво", "пива", "чай", "кофе", "магазин", "магазина", "телефон", "телефона", "линия", "линии", "звонок",
    "звонка", "клавиатура", "экран", "монитор", "принтер", "плата", "платы", "память", "памяти",
    "процессор", "драйвер", "драйвера", "система", "системы", "сервис", "юзер", "юзеры", "пользователь",
    "пользователя", "пароль", "пароля", "скрипт", "скрипта", "команда", "команды", "пакет", "пакета",
    "пакеты", "мейлер", "мейлера", "ёлка", "ёжик", "всё", "ещё", "её",
    "работает", "работать", "работал", "сделать", "сделал", "сделаю", "написал", "написать", "пишу", "пишет",
    "знаю", "знаешь", "знает", "думаю", "думаешь", "кажется", "хочу", "хочешь", "хотел", "могу", "можешь",
    "сказал", "говорю", "говорит", "понял", "понимаю", "видел", "вижу", "смотри", "посмотри", "читаю",
    "читать", "прочитал", "поставил", "поставить", "запустил", "запустить", "скачать", "скачал", "отправил",
    "отправить", "получил", "получить", "пришло", "пришел", "ушло", "ушел", "настроить", "настроил",
    "попробуй", "попробовал", "помогите", "помоги", "спасибо", "пожалуйста", "привет", "сегодня", "вчера",
    "завтра", "давно", "недавно", "быстро", "медленно", "хорошо", "плохо", "нормально", "отлично", "странно",
    "правильно", "неправильно", "опять", "снова", "всегда", "никогда", "иногда", "часто", "редко", "здесь",
    "туда", "сюда", "больше", "меньше", "много", "мало",
};

// Adjectives of the hard declension: each stem with each ending.
const char* const kRussianAdjectiveStems[] = {
    "нов", "стар", "добр", "быстр", "красн", "бел", "черн", "главн", "полн", "трудн", "важн", "умн", "нужн",
    "странн", "обычн", "сетев", "почтов", "нормальн", "длинн", "стабильн", "свободн", "бесплатн", "интересн",
    "известн", "современн"};
const char* const kRussianAdjectiveEndings[] = {"ый", "ая", "ое", "ые", "ого", "ой", "ую", "ым", "ых"};

const char* const kRussianFirstNames[] = {
    "Алексей", "Андрей", "Сергей", "Дмитрий", "Михаил", "Николай", "Павел", "Иван", "Владимир", "Евгений",
    "Игорь", "Олег", "Юрий", "Виктор", "Александр", "Константин", "Максим", "Роман", "Татьяна", "Елена",
    "Ольга", "Наталья", "Ирина", "Светлана", "Пётр"};
const char* const kRussianLastNames[] = {
    "Иванов", "Петров", "Сидоров", "Смирнов", "Кузнецов", "Попов", "Васильев", "Соколов", "Михайлов",
    "Новиков", "Федоров", "Морозов", "Волков", "Алексеев", "Лебедев", "Семенов", "Егоров", "Павлов",
    "Козлов", "Степанов", "Николаев", "Орлов", "Андреев", "Макаров", "Никитин", "Захаров", "Зайцев",
    "Соловьёв", "Борисов", "Яковлев"};

template <size_t N>
std::vector<std::string> cp866All(const char* const (&utf8)[N]) {
    std::vector<std::string> out;
    for (const char* s : utf8) out.push_back(cp866(s));
    return out;
}

Language russian() {
    Language lang;
    lang.words = cp866All(kRussianWords);
    for (const char* ending : kRussianAdjectiveEndings)
        for (const char* stem : kRussianAdjectiveStems) lang.words.push_back(cp866(stem) + cp866(ending));
    lang.firstNames = cp866All(kRussianFirstNames);
    lang.lastNames = cp866All(kRussianLastNames);
    lang.greetings = cp866All({"Привет, %s!", "Здравствуй, %s!", "Доброго времени суток, %s!", "Hello %s!",
                               "Приветствую тебя, %s!"});
    lang.signOffs = cp866All({"С уважением, %s.", "Пока, %s", "Всего доброго, %s.", "Удачи! %s"});
    lang.origins = cp866All({"Тихий узел на окраине", "Сибирский почтовый узел", "Здесь был Вася",
                             "Станция на краю света", "Ночная почта ходит всегда"});
    lang.wrote = cp866("Однажды %s написал к All:");
    lang.charset = "CP866";
    lang.exponent = 1.0;
    lang.offset = 2.7;
    return lang;
}

}  // namespace

std::vector<uint8_t> manyWordsEchomailText(std::mt19937& rng, size_t size) { return messagesOf(rng, english(), size); }

std::vector<uint8_t> cp866EchomailText(std::mt19937& rng, size_t size) { return messagesOf(rng, russian(), size); }
