#pragma once
// systemd notifications for a Type=notify unit: READY=1 once start-up has
// finished, STATUS= with the On Air state and the sessions, and WATCHDOG=1
// while the queue loop is alive. Without NOTIFY_SOCKET nothing is sent.
//
// The pings stop while the event loop is held: by a wedge, or by a legal
// realtime operation that runs no events. The longest legal one is a
// download (2 minutes at most) followed by composing and fading the picture
// (a few seconds), so the units set WatchdogSec=180.
void StartSystemdNotifications();
