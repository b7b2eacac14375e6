#include "server/handlers/metrics.h"

#include "server/handlers/scriptparameters.h"

namespace {

void add(QByteArray &out, const char *name, const char *type, const char *help)
{
    out += QByteArrayLiteral("# HELP ") + name + ' ' + help + QByteArrayLiteral("\n# TYPE ") + name + ' ' + type + '\n';
}

void sample(QByteArray &out, const char *name, const QByteArray &labels, double value)
{
    out += name;
    if (!labels.isEmpty())
        out += '{' + labels + '}';
    out += ' ' + QByteArray::number(value, 'g', 12) + '\n';
}

} // namespace

void ServerMetrics::count(Outcome outcome, int code)
{
    switch (outcome) {
    case Outcome::SignInAccepted: ++signInsAccepted; break;
    case Outcome::SignInRefused: ++signInsRefused; break;
    case Outcome::SignInThrottled: ++signInsThrottled; break;
    case Outcome::Registered: ++registrationsCreated; break;
    case Outcome::RegistrationRefused: ++registrationsRefused[code]; break;
    case Outcome::Other: break;
    }
}

QByteArray metricsText(const ServerMetrics &m, const ServerGauges &g)
{
    QByteArray out;
    add(out, "velka_sign_ins_total", "counter", "Sign-ins answered, by result.");
    sample(out, "velka_sign_ins_total", "result=\"accepted\"", double(m.signInsAccepted));
    sample(out, "velka_sign_ins_total", "result=\"refused\"", double(m.signInsRefused));
    sample(out, "velka_sign_ins_total", "result=\"throttled\"", double(m.signInsThrottled));
    add(out, "velka_registrations_created_total", "counter", "Accounts created.");
    sample(out, "velka_registrations_created_total", {}, double(m.registrationsCreated));
    add(out, "velka_registrations_refused_total", "counter", "Registrations answered with a code, by code and reason.");
    for (auto it = m.registrationsRefused.cbegin(); it != m.registrationsRefused.cend(); ++it)
        sample(out, "velka_registrations_refused_total",
               "code=\"" + QByteArray::number(it.key()) + "\",reason=\"" + RegisterError::reason(it.key()) + '"',
               double(it.value()));
    add(out, "velka_hash_queue_length", "gauge", "Password hashes under way or waiting.");
    sample(out, "velka_hash_queue_length", {}, g.hashQueue);
    add(out, "velka_hash_seconds", "summary", "Time spent hashing passwords.");
    sample(out, "velka_hash_seconds_sum", {}, g.hashSeconds);
    sample(out, "velka_hash_seconds_count", {}, double(g.hashes));
    add(out, "velka_database_errors_total", "counter", "Database statements that failed.");
    sample(out, "velka_database_errors_total", {}, double(g.databaseErrors));
    add(out, "velka_database_reconnects_total", "counter", "Database connections opened again after a loss.");
    sample(out, "velka_database_reconnects_total", {}, double(g.databaseReconnects));
    add(out, "velka_open_connections", "gauge", "Client connections open.");
    sample(out, "velka_open_connections", {}, g.openConnections);
    add(out, "velka_draining", "gauge", "1 while the server stops, answering what it has read.");
    sample(out, "velka_draining", {}, g.draining ? 1 : 0);
    add(out, "velka_log_lines_dropped_total", "counter", "Log lines that could not be written.");
    sample(out, "velka_log_lines_dropped_total", {}, double(g.logLinesDropped));
    return out;
}
