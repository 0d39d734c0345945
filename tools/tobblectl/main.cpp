// tobblectl: drives a running tobble over its session-bus interface (org.tobble.Tobble1), for
// key bindings, status bars and scripts. Results go to standard output, messages to standard
// error; the exit status says what happened (see kUsage).

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#ifndef TOBBLE_VERSION
#define TOBBLE_VERSION "0.0.0"
#endif

namespace {

constexpr const char* kUsage = R"(Usage: tobblectl COMMAND [ARGUMENTS]

Controls a running Tobble over the session bus.

Commands:
  list [--json]                 applications: name, id, volume, muted, hidden, playing
  volume APP [VALUE]            print or set an application's volume
  mute|unmute|toggle-mute APP   mute, unmute or flip an application's mute
  hide|unhide APP               hide an application from the panel, or show it again
  outputs [--json]              output devices; * marks the default
  output DEVICE                 make DEVICE the default output (uid or name)
  route APP DEVICE|default      play APP on DEVICE only, or on the default output again
  system-volume [VALUE]         print or set the system volume
  system-mute|system-unmute     mute or unmute the system output
  panel show|hide|toggle        open, close or toggle the panel (show starts an installed
                                Tobble that is not running)
  panel status                  print whether the panel is shown or hidden
  --help | --version

VALUE is 30%, 0.3, +5% or -5% (the last two change the current value). An application's
volume goes up to 200% while Tobble's settings allow volume above 100%, else up to 100%.
APP is an application id, else a name (any case), else the unique start of a name.
DEVICE is a uid, else a name, else the unique start of a name.

Examples:
  tobblectl panel toggle                    a key binding that opens and closes the panel
  tobblectl volume music 30%                lower one application
  tobblectl output "USB Headphones"         switch the output
  tobblectl route chat headset              the call in the headset, the rest where it was

Exit status: 0 done; 1 the call failed; 2 usage or value error, or an ambiguous APP or
DEVICE; 3 no such application or device; 4 Tobble is not running.
)";

constexpr const char* kService = "org.tobble.Tobble";
constexpr const char* kPath = "/org/tobble/Tobble";
constexpr const char* kInterface = "org.tobble.Tobble1";
constexpr int kCallTimeoutMs = 5000;

enum Exit { kDone = 0, kCallFailed = 1, kUsageError = 2, kNoSuchThing = 3, kNotRunning = 4 };

// Ends the program with `status`; thrown so that every path unwinds through main().
struct Stop {
    int status;
};

void out(const QString& text) { std::fputs(text.toLocal8Bit().constData(), stdout); }
void err(const QString& text) { std::fputs(text.toLocal8Bit().constData(), stderr); }

[[noreturn]] void fail(int status, const QString& message) {
    err(QStringLiteral("tobblectl: %1\n").arg(message));
    throw Stop{status};
}

[[noreturn]] void usage(const QString& message) {
    fail(kUsageError, message + QStringLiteral(" (see tobblectl --help)"));
}

// ---- the bus

// Only `panel show` starts Tobble through D-Bus activation when it is not running: a status bar
// polling `list` must not bring back a Tobble the user has quit.
class Tobble {
  public:
    explicit Tobble(bool mayStart = false)
        : bus_(QDBusConnection::sessionBus()), mayStart_(mayStart) {
        if (!bus_.isConnected()) notRunning();
    }

    QList<QVariant> call(const char* method, const QList<QVariant>& arguments = {}) {
        auto message = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
        message.setArguments(arguments);
        return send(message);
    }
    QVariant property(const char* name) {
        auto message = QDBusMessage::createMethodCall(kService, kPath,
                                                      "org.freedesktop.DBus.Properties", "Get");
        message << QString::fromLatin1(kInterface) << QString::fromLatin1(name);
        return qvariant_cast<QDBusVariant>(send(message).value(0)).variant();
    }
    void setProperty(const char* name, const QVariant& value) {
        auto message = QDBusMessage::createMethodCall(kService, kPath,
                                                      "org.freedesktop.DBus.Properties", "Set");
        message << QString::fromLatin1(kInterface) << QString::fromLatin1(name)
                << QVariant::fromValue(QDBusVariant(value));
        send(message);
    }

  private:
    [[noreturn]] static void notRunning() {
        fail(kNotRunning, QStringLiteral("Tobble is not running; start it with `tobble`"));
    }

    QList<QVariant> send(QDBusMessage message) {
        message.setAutoStartService(mayStart_);
        const QDBusMessage reply = bus_.call(message, QDBus::Block, kCallTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage) return reply.arguments();
        const QString name = reply.errorName();
        if (name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
            name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner") ||
            name == QLatin1String("org.freedesktop.DBus.Error.Disconnected")) {
            notRunning();
        }
        int status = kCallFailed;
        if (name.endsWith(QLatin1String(".NoSuchApplication")) ||
            name.endsWith(QLatin1String(".NoSuchOutput"))) {
            status = kNoSuchThing;
        } else if (name.endsWith(QLatin1String(".InvalidArgument"))) {
            status = kUsageError;
        }
        fail(status, reply.errorMessage().isEmpty() ? name : reply.errorMessage());
    }

    QDBusConnection bus_;
    bool mayStart_;
};

// An aa{sv} reply as a list of dictionaries; nested arrays become QVariantLists.
QList<QVariantMap> dictionaries(const QVariant& value) {
    QList<QVariantMap> result;
    value.value<QDBusArgument>() >> result;
    for (auto& map : result) {
        for (auto& field : map) {
            if (!field.canConvert<QDBusArgument>()) continue;
            QList<uint> numbers;
            field.value<QDBusArgument>() >> numbers;
            QVariantList list;
            for (uint n : numbers) list.push_back(n);
            field = list;
        }
    }
    return result;
}

// ---- values

QString percent(double volume) { return QString::number(std::lround(volume * 100)) + "%"; }

// "30%", "0.3", "+5%", "-5%", "+0.05": the new value from the current one, within 0 and
// `maximum` (1.0, or an application's 2.0 while volume above 100% is allowed).
double parseValue(const QString& text, double current, double maximum = 1.0) {
    QString body = text.trimmed();
    const bool relative = body.startsWith('+') || body.startsWith('-');
    const bool isPercent = body.endsWith('%');
    if (isPercent) body.chop(1);
    bool ok = false;
    double value = body.toDouble(&ok);
    if (!ok || !std::isfinite(value)) usage(QStringLiteral("not a volume: \"%1\"").arg(text));
    if (isPercent) value /= 100.0;
    if (relative) return std::clamp(current + value, 0.0, maximum);
    if (value < 0.0 || value > maximum) {
        QString hint;
        if (!isPercent && value > 2.0 && value <= 200.0) {
            // "volume Music 30" means 30 %, not thirty times full volume.
            hint = QStringLiteral("; a number without % is a fraction of full volume: %1% is %2")
                       .arg(body, QString::number(value / 100.0));
        } else if (maximum <= 1.0 && value <= 2.0) {
            hint = QStringLiteral("; volume above 100% is off in Tobble's settings");
        }
        usage(QStringLiteral("volume %1 is outside 0%-%2").arg(text, percent(maximum)) + hint);
    }
    return value;
}

QString yesNo(bool value) { return value ? QStringLiteral("yes") : QStringLiteral("no"); }

// ---- matching

// The one entry `key` names: exact `idKey`, else `nameKey` in any case, else a unique start of
// a name. Stops with status 2 when ambiguous and 3 when nothing matches.
QVariantMap match(const QList<QVariantMap>& entries, const QString& key, const char* idKey,
                  const char* what) {
    for (const auto& entry : entries) {
        if (entry.value(idKey).toString() == key) return entry;
    }
    const auto candidates = [&](auto predicate) {
        QList<QVariantMap> found;
        for (const auto& entry : entries) {
            if (predicate(entry.value("name").toString())) found.push_back(entry);
        }
        return found;
    };
    auto found = candidates(
        [&](const QString& name) { return name.compare(key, Qt::CaseInsensitive) == 0; });
    if (found.isEmpty()) {
        found = candidates([&](const QString& name) {
            return !key.isEmpty() && name.startsWith(key, Qt::CaseInsensitive);
        });
    }
    if (found.size() == 1) return found.front();
    const auto listing = [&](const QList<QVariantMap>& list) {
        QString text;
        for (const auto& entry : list) {
            text += QStringLiteral("\n  %1 (%2)")
                        .arg(entry.value("name").toString(), entry.value(idKey).toString());
        }
        return text.isEmpty() ? QStringLiteral("\n  (none)") : text;
    };
    if (found.size() > 1) {
        fail(kUsageError, QStringLiteral("\"%1\" names more than one %2:%3")
                              .arg(key, QString::fromLatin1(what), listing(found)));
    }
    fail(kNoSuchThing, QStringLiteral("no %1 \"%2\"; the current ones are:%3")
                           .arg(QString::fromLatin1(what), key, listing(entries)));
}

// ---- commands

QString table(const QList<QStringList>& rows) {
    QList<qsizetype> widths;
    for (const auto& row : rows) {
        for (qsizetype i = 0; i < row.size(); ++i) {
            if (widths.size() <= i) widths.push_back(0);
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    QString text;
    for (const auto& row : rows) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i) {
            line += i + 1 < row.size() ? row[i].leftJustified(widths[i] + 2) : row[i];
        }
        text += line + '\n';
    }
    return text;
}

void printJson(const QList<QVariantMap>& entries) {
    QJsonArray array;
    for (const auto& entry : entries) array.push_back(QJsonObject::fromVariantMap(entry));
    out(QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact)) + '\n');
}

int list(Tobble& tobble, bool json) {
    const auto apps = dictionaries(tobble.call("ListApplications").value(0));
    if (json) {
        printJson(apps);
        return kDone;
    }
    QList<QStringList> rows{{"NAME", "ID", "VOLUME", "MUTED", "HIDDEN", "PLAYING"}};
    for (const auto& app : apps) {
        rows.push_back({app.value("name").toString(), app.value("id").toString(),
                        percent(app.value("volume").toDouble()), yesNo(app.value("muted").toBool()),
                        yesNo(app.value("hidden").toBool()), yesNo(app.value("playing").toBool())});
    }
    out(table(rows));
    return kDone;
}

int outputs(Tobble& tobble, bool json) {
    const auto devices = dictionaries(tobble.call("ListOutputs").value(0));
    if (json) {
        printJson(devices);
        return kDone;
    }
    QList<QStringList> rows{{"", "NAME", "UID", "TRANSPORT"}};
    for (const auto& device : devices) {
        rows.push_back({device.value("default").toBool() ? "*" : "",
                        device.value("name").toString(), device.value("uid").toString(),
                        device.value("transport").toString()});
    }
    out(table(rows));
    return kDone;
}

QVariantMap application(Tobble& tobble, const QString& key) {
    return match(dictionaries(tobble.call("ListApplications").value(0)), key, "id", "application");
}

int run(const QStringList& args) {
    if (args.isEmpty()) usage(QStringLiteral("no command"));
    const QString command = args[0];
    const QStringList rest = args.mid(1);
    const auto expect = [&](qsizetype least, qsizetype most) {
        if (rest.size() < least || rest.size() > most) {
            usage(QStringLiteral("wrong number of arguments for %1").arg(command));
        }
    };
    if (command == "--help" || command == "-h" || command == "help") {
        out(QString::fromUtf8(kUsage));
        return kDone;
    }
    if (command == "--version") {
        out(QStringLiteral("tobblectl %1\n").arg(TOBBLE_VERSION));
        return kDone;
    }
    const auto jsonFlag = [&] {
        expect(0, 1);
        if (!rest.isEmpty() && rest[0] != "--json") usage("unknown option " + rest[0]);
        return !rest.isEmpty();
    };
    if (command == "list") {
        const bool json = jsonFlag();
        Tobble tobble;
        return list(tobble, json);
    }
    if (command == "outputs") {
        const bool json = jsonFlag();
        Tobble tobble;
        return outputs(tobble, json);
    }
    if (command == "volume") {
        expect(1, 2);
        Tobble tobble;
        const auto app = application(tobble, rest[0]);
        const double current = app.value("volume").toDouble();
        if (rest.size() == 1) {
            out(percent(current) + '\n');
            return kDone;
        }
        const double maximum = tobble.property("MaximumVolume").toDouble();
        tobble.call("SetVolume", {app.value("id"), parseValue(rest[1], current, maximum)});
        return kDone;
    }
    if (command == "mute" || command == "unmute") {
        expect(1, 1);
        Tobble tobble;
        tobble.call("SetMuted", {application(tobble, rest[0]).value("id"), command == "mute"});
        return kDone;
    }
    if (command == "toggle-mute") {
        expect(1, 1);
        Tobble tobble;
        const auto reply = tobble.call("ToggleMuted", {application(tobble, rest[0]).value("id")});
        out(reply.value(0).toBool() ? QStringLiteral("muted\n") : QStringLiteral("unmuted\n"));
        return kDone;
    }
    if (command == "hide" || command == "unhide") {
        expect(1, 1);
        Tobble tobble;
        const auto apps = dictionaries(tobble.call("ListApplications").value(0));
        // A hidden application that has stopped playing has no row, only its id.
        const bool byId =
            command == "unhide" &&
            std::none_of(apps.begin(), apps.end(), [&](const QVariantMap& app) {
                return app.value("id").toString() == rest[0] ||
                       app.value("name").toString().startsWith(rest[0], Qt::CaseInsensitive);
            });
        const QVariant id =
            byId ? QVariant(rest[0]) : match(apps, rest[0], "id", "application").value("id");
        tobble.call("SetHidden", {id, command == "hide"});
        return kDone;
    }
    if (command == "output") {
        expect(1, 1);
        Tobble tobble;
        const auto devices = dictionaries(tobble.call("ListOutputs").value(0));
        tobble.call("SetDefaultOutput", {match(devices, rest[0], "uid", "output device")["uid"]});
        return kDone;
    }
    if (command == "route") {
        expect(2, 2);
        Tobble tobble;
        const auto id = application(tobble, rest[0]).value("id");
        QVariant uid = QString();
        if (rest[1] != "default") {
            const auto devices = dictionaries(tobble.call("ListOutputs").value(0));
            uid = match(devices, rest[1], "uid", "output device")["uid"];
        }
        tobble.call("SetApplicationOutput", {id, uid});
        return kDone;
    }
    if (command == "system-volume") {
        expect(0, 1);
        Tobble tobble;
        const double current = tobble.property("SystemVolume").toDouble();
        if (rest.isEmpty()) {
            out(percent(current) + '\n');
            return kDone;
        }
        tobble.setProperty("SystemVolume", parseValue(rest[0], current));
        return kDone;
    }
    if (command == "system-mute" || command == "system-unmute") {
        expect(0, 0);
        Tobble tobble;
        tobble.setProperty("SystemMuted", command == "system-mute");
        return kDone;
    }
    if (command == "panel") {
        expect(1, 1);
        const QString action = rest[0];
        if (action == "status") {
            Tobble tobble;
            std::printf("%s\n", tobble.property("PanelVisible").toBool() ? "shown" : "hidden");
            return kDone;
        }
        const char* method = action == "show"     ? "ShowPanel"
                             : action == "hide"   ? "HidePanel"
                             : action == "toggle" ? "TogglePanel"
                                                  : nullptr;
        if (!method) usage("panel takes show, hide, toggle or status, not " + action);
        Tobble tobble(action == "show");
        tobble.call(method);
        return kDone;
    }
    usage("unknown command " + command);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    try {
        return run(QCoreApplication::arguments().mid(1));
    } catch (const Stop& stop) {
        return stop.status;
    }
}
