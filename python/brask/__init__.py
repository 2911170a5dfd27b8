"""The device-connection library, as far as Tavox needs it: its plug-in
package ships the table of device tokens (``plugins/pid_tokens.csv``)."""
