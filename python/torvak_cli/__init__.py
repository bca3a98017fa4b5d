"""The ``torvak`` command: list attached Torvak devices, query one, open a terminal on a
channel, and send or receive files over a channel. Built on the public names of
``zeq_torvak`` only; standard library otherwise."""
