<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>Localizable</name>
    <message>
        <source>title</source>
        <translation>Pelorin Code Installer</translation>
    </message>
    <message>
        <source>quit</source>
        <translation>Quit Pelorin Code Installer</translation>
    </message>
    <message>
        <source>install</source>
        <translation>Install</translation>
    </message>
    <message>
        <source>cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>preparing</source>
        <translation>Preparing…</translation>
    </message>
    <message>
        <source>downloading</source>
        <translation>Downloading…</translation>
    </message>
    <message>
        <source>verifying</source>
        <translation>Verifying…</translation>
    </message>
    <message>
        <source>installing</source>
        <translation>Installing…</translation>
    </message>
    <message>
        <source>complete</source>
        <translation>Pelorin Code is installed.</translation>
    </message>
    <message>
        <source>open</source>
        <translation>Open Pelorin Code</translation>
    </message>
    <message>
        <source>openFailed</source>
        <translation>Pelorin Code could not be opened. Open it from the Applications folder it was installed in.</translation>
    </message>
    <message>
        <source>retry</source>
        <translation>Try Again</translation>
    </message>
    <message>
        <source>error.invalidManifest</source>
        <translation>The release information from the server is not valid.</translation>
    </message>
    <message>
        <source>error.invalidURL</source>
        <translation>The download address is not the Pelorin distribution server.</translation>
    </message>
    <message>
        <source>error.unsupportedSystem</source>
        <translation>This release needs a newer version of the operating system.</translation>
    </message>
    <message>
        <source>error.invalidResponse</source>
        <translation>The server sent a response that cannot be used.</translation>
    </message>
    <message>
        <source>error.damagedDownload</source>
        <translation>The download is damaged. Try again to download it afresh.</translation>
    </message>
    <message>
        <source>error.wrongApplication</source>
        <translation>The application found is not Pelorin Code.</translation>
    </message>
    <message>
        <source>error.downgrade</source>
        <translation>A newer version of Pelorin Code is already installed.</translation>
    </message>
    <message>
        <source>error.appRunning</source>
        <translation>Pelorin Code is running. Quit it, then try again.</translation>
    </message>
    <message>
        <source>error.installConflict</source>
        <translation>Pelorin Code could not be put in place.</translation>
    </message>
    <message>
        <source>error.noSpace</source>
        <translation>There is not enough free disk space.</translation>
    </message>
    <message>
        <source>error.busy</source>
        <translation>Another installation is already running.</translation>
    </message>
    <message>
        <source>error.cancelled</source>
        <translation>The installation was cancelled.</translation>
    </message>
    <message>
        <source>error.network</source>
        <translation>The download failed. Check the internet connection and try again.</translation>
    </message>
    <message>
        <source>error.permission</source>
        <translation>The installer was denied access to a file or folder it needs. Check the permissions, then try again.</translation>
    </message>
    <message>
        <source>error.verification</source>
        <translation>The application could not be verified.</translation>
    </message>
    <message>
        <source>error.generic</source>
        <translation>The installation failed.</translation>
    </message>
    <message>
        <source>working</source>
        <translation>Pelorin Code is being installed.</translation>
    </message>
    <message>
        <source>workingDetail</source>
        <translation>Cancel the installation or wait until it has finished, then quit.</translation>
    </message>
    <message>
        <source>continue</source>
        <translation>Continue</translation>
    </message>
</context>
</TS>
