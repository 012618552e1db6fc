#pragma once

#include "connections/Connection.h"
#include "signin/SshLaunchSettings.h"

#include <QCoreApplication>

class QCommandLineParser;

// A connection that runs the server's interface command over ssh. The file's "readOnly" is the
// connection's system flag.
class SshConnection : public Connection {
    Q_DECLARE_TR_FUNCTIONS(SshConnection)
public:
    SshConnection();

    QJsonObject toJson() const override;
    void fromJson(const QJsonObject& json) override;
    QString url() const override;
    QString description() const override;
    ConnectionEditorWidget* createEditorWidget() const override;
    QWidget* open(QWidget* parent) override;

    const SshLaunchSettings& settings() const { return m_settings; }

    // The options of the ssh launch mode.
    static void addCommandLineOptions(QCommandLineParser& parser);
    // Fills connection from a parsed command line; false when "ssh" or "host" is not set or a value
    // cannot be used, with the reason, naming the option, in error.
    static bool fromCommandLine(const QCommandLineParser& parser, SshConnection& connection,
                                QString* error = nullptr);

private:
    QString m_filename;
    QString m_connectionName;
    SshLaunchSettings m_settings;
};
