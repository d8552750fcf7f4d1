<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>Configuration</name>
    <message>
        <source>Invalid version nr (%1)</source>
        <translation>Ungültige Versionsnummer (%1)</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>Failed to query latest client
version from update server.</source>
        <translation>Die neueste Client-Version konnte nicht
vom Aktualisierungsserver abgefragt werden.</translation>
    </message>
    <message>
        <source>Update server returned no version</source>
        <translation>Der Aktualisierungsserver hat keine Version geliefert</translation>
    </message>
    <message>
        <source>Update server returned invalid version nr (%1)</source>
        <translation>Der Aktualisierungsserver hat eine ungültige Versionsnummer geliefert (%1)</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Voxtrelle 3 Client Update</source>
        <translation>Voxtrelle 3 Client-Aktualisierung</translation>
    </message>
    <message>
        <source>&lt;small&gt;&amp;copy; Voxtrelle GmbH &amp;middot; &lt;a href=&quot;https://www.voxtrelle.com/&quot;&gt;www.voxtrelle.com&lt;/a&gt;&lt;/small&gt;</source>
        <translation>&lt;small&gt;&amp;copy; Voxtrelle GmbH &amp;middot; &lt;a href=&quot;https://www.voxtrelle.com/&quot;&gt;www.voxtrelle.com&lt;/a&gt;&lt;/small&gt;</translation>
    </message>
    <message>
        <source>Details</source>
        <translation>Details</translation>
    </message>
    <message>
        <source>Stable</source>
        <translation>Stabil</translation>
    </message>
    <message>
        <source>Beta</source>
        <translation>Beta</translation>
    </message>
    <message>
        <source>Alpha</source>
        <translation>Alpha</translation>
    </message>
    <message>
        <source>Update to Voxtrelle %1</source>
        <translation>Aktualisierung auf Voxtrelle %1</translation>
    </message>
    <message>
        <source>You are currently on &lt;strong&gt;%1 channel&lt;/strong&gt;.</source>
        <translation>Sie verwenden den &lt;strong&gt;Kanal %1&lt;/strong&gt;.</translation>
    </message>
    <message>
        <source>Step two: Updating Voxtrelle client</source>
        <translation>Schritt zwei: Voxtrelle-Client wird aktualisiert</translation>
    </message>
    <message>
        <source>Step one: Updating updater</source>
        <translation>Schritt eins: Aktualisierungsprogramm wird aktualisiert</translation>
    </message>
    <message>
        <source>Failed to store force update notice</source>
        <translation>Hinweis auf erzwungene Aktualisierung konnte nicht gespeichert werden</translation>
    </message>
    <message>
        <source>Update cancelled</source>
        <translation>Aktualisierung abgebrochen</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Aktualisierung</translation>
    </message>
    <message>
        <source>Update cancelled. Push &quot;Details&quot; to check reasons.</source>
        <translation>Aktualisierung abgebrochen. Die Gründe zeigt &quot;Details&quot;.</translation>
    </message>
    <message>
        <source>Question</source>
        <translation>Frage</translation>
    </message>
    <message>
        <source>&lt;p&gt;Update in progress.&lt;/p&gt;&lt;p&gt;Are you sure you want to abort?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Die Aktualisierung läuft.&lt;/p&gt;&lt;p&gt;Wollen Sie sie wirklich abbrechen?&lt;/p&gt;</translation>
    </message>
    <message>
        <source>Confirm reboot</source>
        <translation>Neustart bestätigen</translation>
    </message>
    <message>
        <source>&lt;p&gt;A computer restart is required to proceed with the client update. If you do not reboot now, the Voxtrelle update will be cancelled.&lt;/p&gt;&lt;p&gt;Do you want to reboot now?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Für die weitere Aktualisierung des Clients muss der Computer neu gestartet werden. Ohne Neustart wird die Voxtrelle-Aktualisierung abgebrochen.&lt;/p&gt;&lt;p&gt;Jetzt neu starten?&lt;/p&gt;</translation>
    </message>
    <message>
        <source>Click to open &quot;%1://%2&quot;</source>
        <translation>Klicken, um &quot;%1://%2&quot; zu öffnen</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
</context>
</TS>
