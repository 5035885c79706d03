-- File index of the ring recorder: the same tables on SQLite and PostgreSQL (one database can serve many stations).
create table if not exists filelist (
    sta      varchar(16),
    tbegin   bigint,
    tqty     bigint,
    sps      integer,
    gain     integer,
    cpath    varchar(256),
    ch       varchar(16),
    datatype integer,
    creater  varchar(16)
);
create index if not exists filelist_cpath on filelist (cpath);
create index if not exists filelist_creater_tbegin on filelist (creater, tbegin);

create table if not exists eventlist (
    sta        varchar(16),
    tbegin     bigint,
    event_type integer
);
