<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>Localizable</name>
    <message>
        <source>title</source>
        <translation>Pelorin Code Installationsprogramm</translation>
    </message>
    <message>
        <source>install</source>
        <translation>Installieren</translation>
    </message>
</context>
</TS>
