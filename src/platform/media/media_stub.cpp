// placeholder until the media service lands
